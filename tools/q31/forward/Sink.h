// Where the forwarder ships the journal: a PostgreSQL database, an MQTT
// broker. Each sink runs on a thread of its own, so a sink that is slow or
// down holds up neither the collection nor the other sinks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/q31/forward/JournalBatch.h"

namespace q31::tool::forward {

class Sink {
public:
    virtual ~Sink() = default;

    // "postgres", "mqtt": the key of its position in the journal.
    virtual std::string Name() const = 0;

    // Connects when not connected, and returns the seq of the last batch this
    // sink has safely shipped (0: none). A sink that keeps its position on its
    // server (in the same transaction as the rows) reads it from there; the
    // forwarder then takes it over. Throws std::runtime_error while the sink
    // cannot be reached; the message must carry no password.
    virtual std::int64_t Connect(std::int64_t localPosition) = 0;

    // Ships `batches` (in seq order, all after the position) and returns once
    // they are safely kept: committed, or acknowledged by the broker. A sink
    // that keeps its position on its server commits it with them. Throws
    // std::runtime_error on failure: then none, some or all of them may have
    // arrived, and the forwarder sends them all again after reconnecting.
    virtual void Ship(const std::vector<JournalBatch>& batches) = 0;

    // Drops the connection (after a failure, or at the end).
    virtual void Disconnect() = 0;
};

}  // namespace q31::tool::forward
