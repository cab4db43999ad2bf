#include "room_bucket.h"

#include "server_limits.h"

#include <nats/nats.h>

#include <chrono>
#include <stdexcept>

namespace velmora {

namespace {

std::string Text(natsStatus status)
{
    const char* last = nats_GetLastError(nullptr);
    return std::string(natsStatus_GetText(status)) + (last && *last ? " (" + std::string(last) + ")" : "");
}

}  // namespace

RoomBucket::RoomBucket(NatsConnection& nats, const std::string& room, LogSink log)
    : nats_(nats), stream_("KV_velmora_" + room), subject_prefix_("$KV.velmora_" + room + ".")
{
    const std::string bucket = "velmora_" + room;
    // A cluster just started may still be choosing its leader; servers starting together race to
    // make the bucket. Both settle within moments.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kNatsStartTimeoutMs);
    natsStatus s = NATS_OK;
    do {
        if (js_KeyValue(&store_, nats_.jetstream(), bucket.c_str()) == NATS_OK)
            return;
        for (const int replicas : {kBucketReplicas, 1}) {
            kvConfig config;
            kvConfig_Init(&config);
            config.Bucket = bucket.c_str();
            config.Description = "velmora-server: names, guest numbers and bans of one room";
            config.History = 1;
            config.Replicas = replicas;
            config.MaxBytes = kBucketMaxBytes;
            config.MaxValueSize = kBucketMaxValueBytes;
            s = js_CreateKeyValue(&store_, nats_.jetstream(), &config);
            if (s == NATS_OK) {
                if (replicas == 1 && log)
                    log("made the room's bucket " + bucket + " with one copy only: the NATS cluster could not keep "
                        + std::to_string(kBucketReplicas) + ", so the names do not survive the loss of its server");
                return;
            }
        }
        nats_Sleep(kNatsRetryPauseMs);
    } while (std::chrono::steady_clock::now() < deadline);
    throw std::runtime_error("cannot open the key-value bucket " + bucket + " (is JetStream on, nats-server -js?): "
        + Text(s));
}

RoomBucket::~RoomBucket()
{
    kvStore_Destroy(store_);
}

RoomBucket::Deleted RoomBucket::delete_at(const std::string& key, std::uint64_t revision, std::uint64_t& marker)
{
    natsMsg* message = nullptr;
    if (natsMsg_Create(&message, (subject_prefix_ + key).c_str(), nullptr, nullptr, 0) != NATS_OK)
        return Deleted::Failed;
    natsMsgHeader_Set(message, "KV-Operation", "DEL");
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MaxWait = kNatsRequestTimeoutMs;
    options.ExpectLastSubjectSeq = revision;
    jsPubAck* ack = nullptr;
    jsErrCode error = static_cast<jsErrCode>(0);
    const natsStatus s = js_PublishMsg(&ack, nats_.jetstream(), message, &options, &error);
    natsMsg_Destroy(message);
    if (s == NATS_OK)
        marker = ack->Sequence;
    jsPubAck_Destroy(ack);
    if (s == NATS_OK)
        return Deleted::Done;
    return error == JSStreamWrongLastSequenceErr ? Deleted::Stale : Deleted::Failed;
}

bool RoomBucket::purge_through(const std::string& key, std::uint64_t revision)
{
    const std::string subject = subject_prefix_ + key;
    jsOptions options;
    jsOptions_Init(&options);
    options.Wait = kNatsRequestTimeoutMs;
    options.Stream.Purge.Subject = subject.c_str();
    options.Stream.Purge.Sequence = revision == 0 ? 0 : revision + 1;
    jsErrCode error = static_cast<jsErrCode>(0);
    return js_PurgeStream(nats_.jetstream(), stream_.c_str(), &options, &error) == NATS_OK;
}

}  // namespace velmora
