// Ships the journal into a PostgreSQL database that many gateways share.
//
// Every row carries the gateway's name and its database's generation first
// in its key, so gateways that name their meters alike keep apart, and so do
// a gateway's databases (one made anew numbers its journal and its attempts
// from 1 again). Rows go in with ON CONFLICT DO NOTHING and the sink's
// position in the journal is committed in the same transaction as the rows
// it covers: a group shipped again after a failure (or after a crash of
// either side) adds nothing twice, and the position the database holds is
// always the last group that is wholly there. A row the server refuses for
// what it holds is set aside (in q31_rejected) and the rest goes in.
//
// No statement waits for long: the connection has a statement and a lock
// time-out of a few seconds, and Abort cancels what runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/q31/forward/PostgresParams.h"
#include "tools/q31/forward/PostgresSinkSettings.h"
#include "tools/q31/forward/Sink.h"

struct pg_conn;
struct pg_result;
struct pg_cancel;

namespace q31::tool::forward {

class PostgresSink : public Sink {
public:
    // The schema this sink creates and migrates to.
    static constexpr int kSchemaVersion = 3;

    PostgresSink(PostgresSinkSettings settings, std::string gateway);
    ~PostgresSink() override;
    PostgresSink(const PostgresSink&) = delete;
    PostgresSink& operator=(const PostgresSink&) = delete;

    std::string Name() const override { return "postgres"; }
    SinkConnection Connect(const JournalOrigin& origin) override;
    std::vector<Rejection> Ship(const std::vector<JournalBatch>& batches) override;
    void Disconnect() override;
    void Abort() override;

    // The URL with any password in it masked, for messages.
    std::string PrintableUrl() const;

private:
    // A new connection, up to where the session is set up; Fail when none.
    void Open();
    void Migrate();
    void Prepare();
    SinkConnection ReadPosition(const JournalOrigin& origin);
    // The group in one transaction, archive values by COPY.
    void ShipGroup(const std::vector<JournalBatch>& batches);
    // The group in one transaction, each batch under a savepoint of its own:
    // those the server refuses are set aside.
    std::vector<Rejection> ShipOneByOne(const std::vector<JournalBatch>& batches);
    void ShipBatch(const JournalBatch& b);
    void ShipPosition(const std::vector<JournalBatch>& batches);
    bool Stored(const JournalBatch& b);
    void CopyArchive(const std::vector<const JournalBatch*>& fresh);
    void ShipArchive(const JournalBatch& b);
    void ShipGap(const JournalBatch& b);
    void ShipSnapshot(const JournalBatch& b);
    void ShipLog(const JournalBatch& b);
    void ShipAttempt(const JournalBatch& b);
    void ShipEvent(const JournalBatch& b);
    // Runs a prepared statement with params_; returns the rows it gave.
    int Run(const char* statement);
    void Exec(const char* sql, const char* what = nullptr);
    // Throws SinkError with `what`, the server's message (of `result`, or of
    // the connection) and its code; rolls back or drops the connection.
    [[noreturn]] void Fail(const std::string& what, const pg_result* result = nullptr);
    std::string Redact(std::string text) const;

    PostgresSinkSettings settings_;
    std::string gateway_;
    std::vector<std::string> secrets_;  // in the URL: masked in every message
    std::string filePassword_;          // the one read last: masked too
    std::string generation_;            // of the journal connected for
    pg_conn* conn_ = nullptr;
    // For Abort, from another thread: the connection's socket and its cancel request.
    std::mutex connMutex_;
    int socket_ = -1;
    std::shared_ptr<pg_cancel> cancel_;
    std::atomic<bool> aborted_{false};
    bool careful_ = false;     // shipping one by one: a failed statement leaves the transaction open
    std::string lastState_;    // SQLSTATE of the last failure ("" when none)
    std::string lastPrimary_;  // its message, without the details
    PostgresParams params_;
    std::vector<const JournalBatch*> fresh_;  // archive batches of a group that go in by COPY
    std::string copy_;                        // their rows in COPY's binary format
};

}  // namespace q31::tool::forward
