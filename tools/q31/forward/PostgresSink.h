// Ships the journal into a PostgreSQL database that many gateways share.
//
// Every row carries the gateway's name first in its key, so gateways that
// name their meters alike keep apart. Rows go in with ON CONFLICT DO NOTHING
// and the sink's position in the journal is committed in the same
// transaction as the rows it covers: a group shipped again after a failure
// (or after a crash of either side) adds nothing twice, and the position the
// database holds is always the last group that is wholly there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/q31/collect/CollectConfig.h"
#include "tools/q31/forward/Sink.h"

struct pg_conn;

namespace q31::tool::forward {

class PostgresSink : public Sink {
public:
    // The schema this sink creates and migrates to.
    static constexpr int kSchemaVersion = 1;

    PostgresSink(collect::PostgresSinkSpec spec, std::string gateway);
    ~PostgresSink() override;
    PostgresSink(const PostgresSink&) = delete;
    PostgresSink& operator=(const PostgresSink&) = delete;

    std::string Name() const override { return "postgres"; }
    std::int64_t Connect(std::int64_t localPosition) override;
    void Ship(const std::vector<JournalBatch>& batches) override;
    void Disconnect() override;

    // The URL with any password in it masked, for messages.
    std::string PrintableUrl() const;

private:
    // A statement's parameters, in the binary format; the buffers are kept
    // from one statement to the next.
    struct Params {
        static constexpr int kMax = 12;
        std::string data[kMax];
        bool null[kMax] = {};
        int count = 0;

        void Clear() { count = 0; }
        Params& Text(const std::string& v);
        Params& Int8(std::int64_t v);
        Params& Int4(std::int32_t v);
        Params& Null();
        std::string& Raw();  // for arrays, which the caller fills
    };

    void Migrate();
    void Prepare();
    std::int64_t ReadPosition();
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
    [[noreturn]] void Fail(const std::string& what);
    std::string Redact(std::string text) const;

    collect::PostgresSinkSpec spec_;
    std::string gateway_;
    std::vector<std::string> secrets_;  // in the URL: masked in every message
    std::string filePassword_;          // the one read last: masked too
    pg_conn* conn_ = nullptr;
    Params params_;
    std::vector<const JournalBatch*> fresh_;  // archive batches of a group that go in by COPY
    std::string copy_;                        // their rows in COPY's binary format
};

}  // namespace q31::tool::forward
