#include "operations.h"

#include "metrics.h"
#include "nats_bridge.h"
#include "room_bans.h"

#include <stdexcept>

namespace velmora {

namespace {

asio::ip::tcp::endpoint Endpoint(const std::string& address_and_port)
{
    const std::size_t colon = address_and_port.rfind(':');
    return {asio::ip::make_address_v4(address_and_port.substr(0, colon)),
        static_cast<unsigned short>(std::stoul(address_and_port.substr(colon + 1)))};
}

}  // namespace

Operations::Operations(asio::io_context& io, ChatServer& server, const CommandLine& line, LogSink log)
    : io_(io), server_(server), line_(line), log_(log),
      bans_(io, line.state_dir.empty() ? std::string() : line.state_dir + "/bans.json", log),
      commands_({server, bans_, {}, [this](bool& ok) { return reload_motd(ok); }, log})
{
    server_.banned = [this](const asio::ip::address_v4& address) -> std::optional<std::string> {
        if (const Ban* ban = bans_.covering(address))
            return ban->reason;
        return std::nullopt;
    };
    bans_.hooks.enforce = [this] { server_.room().remove_banned(server_.banned); };
}

Operations::~Operations() = default;

bool Operations::load(std::string& error)
{
    return bans_.load(error);
}

void Operations::open()
{
    if (!line_.control_path.empty()) {
        control_ = std::make_unique<ControlSocket>(io_, line_.control_path, line_.control_group,
            [this](const std::vector<std::string>& words, const PeerInfo& peer) { return commands_.run(words, peer); },
            log_);
        log_("control socket at " + line_.control_path);
    }
    if (!line_.metrics.empty()) {
        metrics_ = std::make_unique<MetricsEndpoint>(io_, Endpoint(line_.metrics), [this] { return metrics_page(); }, log_);
        const auto endpoint = Endpoint(line_.metrics);
        log_("metrics on http://" + endpoint.address().to_string() + ":" + std::to_string(metrics_->port()) + "/metrics");
    }
}

void Operations::link(NatsBridge& bridge)
{
    bridge_ = &bridge;
    commands_.set_server_id(bridge.server_id());
    room_bans_ = std::make_unique<RoomBans>(io_, bridge.bucket(), bans_, server_.summary(), log_);
    bans_.hooks.shared = [this](const Ban& ban) { room_bans_->share(ban); };
    bans_.hooks.lifted = [this](const AddressRange& range) { room_bans_->lift(range); };
    room_bans_->start();
}

void Operations::reload()
{
    commands_.reload();
}

void Operations::stop()
{
    if (control_)
        control_->stop();
    if (metrics_)
        metrics_->stop();
    if (room_bans_)
        room_bans_->stop();
    bans_.stop();
}

std::string Operations::reload_motd(bool& ok)
{
    ok = true;
    if (line_.motd_file.empty())
        return "no message of the day to read (the server runs without --motd)";
    std::vector<std::string> lines;
    std::string error;
    if (!ReadMotd(line_.motd_file, lines, error)) {
        ok = false;
        return "cannot read the message of the day from " + line_.motd_file + ": " + error + "; the one in force is kept";
    }
    const std::size_t count = lines.size();
    server_.room().set_motd(std::move(lines));
    return "read " + std::to_string(count) + " lines of the message of the day from " + line_.motd_file;
}

std::string Operations::metrics_page() const
{
    MetricsSnapshot s;
    s.counters = server_.counters();
    s.members = server_.room().size();
    s.remote_members = server_.room().total_size() - server_.room().size();
    s.connections = server_.connections();
    s.queued_bytes = server_.gauge().bytes;
    s.bans = bans_.size();
    if (bridge_)
        s.nats_connected = bridge_->connected();
    s.version = VELMORA_VERSION;
    return RenderMetrics(s);
}

}  // namespace velmora
