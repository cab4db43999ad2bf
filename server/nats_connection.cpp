#include "nats_connection.h"

#include "server_limits.h"

#include <nats/nats.h>

#include <stdexcept>
#include <utility>

namespace velmora {

namespace {

std::string Text(natsStatus status)
{
    const char* last = nats_GetLastError(nullptr);
    return std::string(natsStatus_GetText(status)) + (last && *last ? " (" + std::string(last) + ")" : "");
}

natsStatus Configure(natsOptions* opts, std::vector<const char*>& urls, const std::string& name)
{
    natsStatus s = natsOptions_SetServers(opts, urls.data(), static_cast<int>(urls.size()));
    if (s == NATS_OK)
        s = natsOptions_SetName(opts, name.c_str());
    if (s == NATS_OK)
        s = natsOptions_SetTimeout(opts, kNatsConnectTimeoutMs);
    if (s == NATS_OK)
        s = natsOptions_SetNoEcho(opts, true);
    if (s == NATS_OK)
        s = natsOptions_SetMaxReconnect(opts, -1);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectWait(opts, kNatsReconnectWaitMs);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectBufSize(opts, kNatsReconnectBufferBytes);
    if (s == NATS_OK)
        s = natsOptions_SetPingInterval(opts, kNatsPingIntervalMs);
    if (s == NATS_OK)
        s = natsOptions_SetMaxPingsOut(opts, kNatsMaxPingsOut);
    return s;
}

}  // namespace

struct NatsCallbacks {
    static void Message(natsConnection*, natsSubscription*, natsMsg* msg, void* closure)
    {
        auto* self = static_cast<NatsConnection*>(closure);
        const auto size = static_cast<std::size_t>(natsMsg_GetDataLength(msg));
        // A frame larger than any server sends is dropped before it is even copied.
        if (size > kFrameMaxBytes) {
            natsMsg_Destroy(msg);
            ++self->oversized_;
            return;
        }
        std::string data(natsMsg_GetData(msg), size);
        natsMsg_Destroy(msg);
        if (self->inbound_bytes_.fetch_add(size) + size > kNatsInboundMaxBytes) {
            self->inbound_bytes_ -= size;
            ++self->behind_;
            return;
        }
        asio::post(self->io_, [self, data = std::move(data)]() mutable {
            self->inbound_bytes_ -= data.size();
            if (!self->stopped_ && self->handlers_.frame)
                self->handlers_.frame(std::move(data));
        });
    }

    static void Disconnected(natsConnection*, void* closure)
    {
        auto* self = static_cast<NatsConnection*>(closure);
        asio::post(self->io_, [self] {
            if (!self->connected_ || self->stopped_)
                return;
            self->connected_ = false;
            if (self->handlers_.lost)
                self->handlers_.lost();
        });
    }

    static void Reconnected(natsConnection*, void* closure)
    {
        auto* self = static_cast<NatsConnection*>(closure);
        asio::post(self->io_, [self, where = self->url()] {
            if (self->stopped_)
                return;
            self->connected_ = true;
            if (self->handlers_.back)
                self->handlers_.back(where);
        });
    }

    static void Error(natsConnection*, natsSubscription*, natsStatus status, void* closure)
    {
        auto* self = static_cast<NatsConnection*>(closure);
        asio::post(self->io_, [self, what = std::string(natsStatus_GetText(status))] {
            if (self->log_)
                self->log_("NATS reports: " + what);
        });
    }
};

NatsConnection::NatsConnection(asio::io_context& io, const NatsOptions& options, LogSink log)
    : io_(io), log_(std::move(log))
{
    std::vector<const char*> urls;
    std::string shown;
    for (const std::string& url : options.urls) {
        urls.push_back(url.c_str());
        shown += (shown.empty() ? "" : ", ") + ShownUrl(url);
    }
    natsOptions* opts = nullptr;
    natsStatus s = natsOptions_Create(&opts);
    if (s == NATS_OK)
        s = Configure(opts, urls, "velmora-server " + options.room);
    if (s == NATS_OK)
        s = natsOptions_SetDisconnectedCB(opts, NatsCallbacks::Disconnected, this);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectedCB(opts, NatsCallbacks::Reconnected, this);
    if (s == NATS_OK)
        s = natsOptions_SetErrorHandler(opts, NatsCallbacks::Error, this);
    if (s == NATS_OK)
        s = ApplyNatsCredentials(opts, options.credentials);
    if (s == NATS_OK)
        s = ConnectSignedIn(&connection_, opts, options.credentials);
    natsOptions_Destroy(opts);
    if (s != NATS_OK)
        throw std::runtime_error("cannot reach NATS at " + shown + ": " + Text(s));
    jsOptions js_options;
    jsOptions_Init(&js_options);
    js_options.Wait = kNatsRequestTimeoutMs;
    s = natsConnection_JetStream(&jetstream_, connection_, &js_options);
    if (s != NATS_OK) {
        natsConnection_Destroy(connection_);
        throw std::runtime_error("cannot use JetStream: " + Text(s));
    }
    worker_ = std::thread([this] { run_worker(); });
}

NatsConnection::~NatsConnection()
{
    stop();
    if (worker_.joinable())
        worker_.join();
    if (subscription_) {
        natsSubscription_Unsubscribe(subscription_);
        natsSubscription_Destroy(subscription_);
    }
    jsCtx_Destroy(jetstream_);
    natsConnection_Destroy(connection_);
    nats_CloseAndWait(kNatsRequestTimeoutMs);
}

std::string NatsConnection::url() const
{
    char url[256] = "";
    natsConnection_GetConnectedUrl(connection_, url, sizeof url);
    return ShownUrl(url);
}

void NatsConnection::subscribe(const std::string& subject, Handlers handlers)
{
    handlers_ = std::move(handlers);
    const natsStatus s = natsConnection_Subscribe(&subscription_, connection_, subject.c_str(), NatsCallbacks::Message, this);
    if (s != NATS_OK)
        throw std::runtime_error("cannot subscribe to " + subject + ": " + Text(s));
    // The client's own queue holds messages only while the callback hands them on; it is bounded
    // like the connection's, and what either drops shows as a gap in the sender's numbering.
    natsSubscription_SetPendingLimits(subscription_, kNatsClientPendingMessages, static_cast<int>(kNatsInboundMaxBytes));
}

bool NatsConnection::publish(const std::string& subject, std::string_view data, std::string& error)
{
    if (stopped_)
        return true;
    const natsStatus s = natsConnection_Publish(connection_, subject.c_str(), data.data(), static_cast<int>(data.size()));
    if (s != NATS_OK)
        error = natsStatus_GetText(s);
    return s == NATS_OK;
}

bool NatsConnection::submit(std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(work_mutex_);
        if (work_stop_ || work_.size() >= kNatsWorkQueueMax)
            return false;
        work_.push_back(std::move(task));
    }
    work_ready_.notify_one();
    return true;
}

void NatsConnection::stop()
{
    if (!stopped_ && connection_)
        natsConnection_FlushTimeout(connection_, kNatsFinalFlushMs);
    stopped_ = true;
    {
        std::lock_guard<std::mutex> lock(work_mutex_);
        work_stop_ = true;
        work_.clear();
    }
    stopping_ = true;
    work_ready_.notify_all();
}

void NatsConnection::run_worker()
{
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(work_mutex_);
            work_ready_.wait(lock, [this] { return work_stop_ || !work_.empty(); });
            if (work_stop_)
                return;
            task = std::move(work_.front());
            work_.pop_front();
        }
        task();
    }
}

}  // namespace velmora
