// Where the forwarder ships the journal: a PostgreSQL database, an MQTT
// broker. Each sink runs on a thread of its own, so a sink that is slow or
// down holds up neither the collection nor the other sinks.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/q31/forward/JournalBatch.h"

namespace q31::tool::forward {

// The journal a sink is connected for.
struct JournalOrigin {
    // The gateway database's generation: a random id made with the file. A
    // database made anew (the old file deleted) is another generation, whose
    // journal counts from 1 again.
    std::string generation;
    std::int64_t position = 0;  // the sink's position as the database keeps it (0: none)
    std::int64_t newest = 0;    // the newest entry of the journal
};

struct SinkConnection {
    // The seq of the last batch of this generation the sink has safely
    // shipped (0: none); the forwarder ships from there.
    std::int64_t position = 0;
    // Set when the sink held another generation of this gateway and meets
    // this one for the first time: the old one and how far it had got.
    std::string earlierGeneration;
    std::int64_t earlierPosition = 0;
    // Said once in the log, when not empty (a sink that took over what it
    // held from before generations were kept, ...).
    std::string note;
};

// A message or row that the sink cannot take for a reason of its own (text
// the server or the broker refuses, a size over its limit): set aside, so
// that the rest goes on.
struct Rejection {
    std::int64_t seq = 0;
    // Why, without anything that changes from one message to the next of the
    // same cause: the forwarder tells each `why` once.
    std::string why;
};

// Thrown by Connect and Ship. `kind` names the failure without what
// changes from one try to the next (a count, a file name): the forwarder
// tells the log once per change of kind, not once per try.
class SinkError : public std::runtime_error {
public:
    explicit SinkError(const std::string& what, std::string kind = {})
        : std::runtime_error(what), kind_(kind.empty() ? what : std::move(kind)) {}
    const std::string& Kind() const { return kind_; }

private:
    std::string kind_;
};

class Sink {
public:
    virtual ~Sink() = default;

    // "postgres", "mqtt": the key of its position in the journal.
    virtual std::string Name() const = 0;

    // Connects when not connected, and says where to ship from. A sink that
    // keeps its position on its server (in the same transaction as the rows)
    // reads it from there, for `origin.generation`; the forwarder then takes
    // it over. Throws std::runtime_error (SinkError) while the sink cannot be
    // reached; the message must carry no password.
    virtual SinkConnection Connect(const JournalOrigin& origin) = 0;

    // Ships `batches` (in seq order, all after the position) and returns once
    // they are safely kept: committed, or acknowledged by the broker. A sink
    // that keeps its position on its server commits it with them. What the
    // sink refuses for a reason of the message itself is returned, set
    // aside; the position moves past it all the same. Throws
    // std::runtime_error (SinkError) on any other failure: then none, some
    // or all of them may have arrived, and the forwarder sends them all again
    // after reconnecting.
    virtual std::vector<Rejection> Ship(const std::vector<JournalBatch>& batches) = 0;

    // Called while connected and nothing waits in the journal: work of the
    // sink's own that came meanwhile (a consumer asking for what it
    // publishes again). Throws like Ship.
    virtual void Idle() {}

    // Drops the connection (after a failure, or at the end).
    virtual void Disconnect() = 0;

    // The forwarder is stopping: a Connect or Ship in progress on another
    // thread ends at once (it throws), and so does every later one. Called
    // from another thread than the sink's; returns without waiting.
    virtual void Abort() {}
};

}  // namespace q31::tool::forward
