#include "tools/q31/forward/PostgresSink.h"

#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>

#include "support/SocketWait.h"
#include "tools/q31/forward/PostgresResult.h"
#include "tools/q31/forward/PostgresSchema.h"
#include "tools/q31/forward/PostgresSecrets.h"

namespace q31::tool::forward {
namespace {

// Taken for the migration's transaction: gateways that start at once wait
// for each other instead of racing to create the same tables.
constexpr std::int64_t kSchemaLock = 0x7133315F736368LL;

// A server that does not take the connection within this long is tried again later.
constexpr std::chrono::seconds kConnectTimeout{10};

// Every connection's: see Connect.
constexpr const char* kSessionSettings =
    "SET synchronous_commit = on; SET statement_timeout = '5s'; SET lock_timeout = '2s'; "
    "SET idle_in_transaction_session_timeout = '60s'";

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace

PostgresSink::PostgresSink(PostgresSinkSettings settings, std::string gateway)
    : settings_(std::move(settings)), gateway_(std::move(gateway)), secrets_(PasswordsIn(settings_.url)) {}

PostgresSink::~PostgresSink() { Disconnect(); }

std::string PostgresSink::Redact(std::string text) const {
    std::vector<std::string> secrets = secrets_;
    secrets.push_back(filePassword_);
    for (const std::string& secret : secrets) {
        if (secret.empty()) continue;
        for (std::size_t p = text.find(secret); p != std::string::npos; p = text.find(secret, p + 3)) {
            text.replace(p, secret.size(), "***");
        }
    }
    return text;
}

std::string PostgresSink::PrintableUrl() const { return Redact(settings_.url); }

void PostgresSink::Fail(const std::string& what, const PGresult* result) {
    std::string message = "postgres: " + what;
    std::string detail;
    if (result && PQresultErrorMessage(result)[0]) detail = Trimmed(PQresultErrorMessage(result));
    else if (conn_) detail = Trimmed(PQerrorMessage(conn_));
    if (!detail.empty()) message += ": " + detail;
    message = Redact(std::move(message));
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    lastState_ = state ? state : "";
    const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    lastPrimary_ = Redact(primary ? primary : detail);
    if (aborted_) message = "postgres: stopped while " + what;
    // A transaction that failed is rolled back (a row set aside within one
    // is rolled back to its savepoint by the caller); a connection that
    // broke is given up, so that the next Connect makes a new one.
    if (conn_ && PQstatus(conn_) == CONNECTION_OK) {
        if (!careful_ && PQtransactionStatus(conn_) != PQTRANS_IDLE) PostgresResult(PQexec(conn_, "ROLLBACK"));
    } else {
        Disconnect();
    }
    // The same failure again is the same kind, whatever file or value its
    // text names: the server's code for it, or its text when it has none.
    throw SinkError(message, lastState_.empty() ? message : "postgres: " + what + " [" + lastState_ + "]");
}

void PostgresSink::Exec(const char* sql, const char* what) {
    PostgresResult r(PQexec(conn_, sql));
    const ExecStatusType status = PQresultStatus(r.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        Fail(std::string(what ? what : sql) + " failed", r.get());
}

int PostgresSink::Run(const char* statement) {
    const char* values[PostgresParams::kMax];
    int lengths[PostgresParams::kMax];
    int formats[PostgresParams::kMax];
    for (int i = 0; i < params_.count; ++i) {
        values[i] = params_.null[i] ? nullptr : params_.data[i].data();
        lengths[i] = static_cast<int>(params_.data[i].size());
        formats[i] = 1;
    }
    PostgresResult r(PQexecPrepared(conn_, statement, params_.count, values, lengths, formats, 0));
    const ExecStatusType status = PQresultStatus(r.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail(std::string(statement) + " failed", r.get());
    return PQntuples(r.get());
}

void PostgresSink::Abort() {
    aborted_ = true;
    std::lock_guard<std::mutex> lock(connMutex_);
    if (cancel_) {
        // The server stops the statement that waits (for a lock, say) and
        // rolls back. The request goes on a thread of its own: it connects
        // to the server anew, which may take long when the server is gone,
        // and whoever stops must not wait for that.
        std::thread([cancel = cancel_] {
            char error[256];
            PQcancel(cancel.get(), error, sizeof error);
        }).detach();
    }
    // The call under way on the sink's thread ends at once.
    // (A socket already closed by the server has nothing left to end.)
    if (socket_ >= 0) static_cast<void>(ShutDownSocket(socket_));
}

SinkConnection PostgresSink::Connect(const JournalOrigin& origin) {
    if (aborted_) throw SinkError("postgres: stopped");
    generation_ = origin.generation;
    if (conn_ && PQstatus(conn_) == CONNECTION_OK) {
        try {
            return ReadPosition(origin);
        } catch (const std::runtime_error&) {
            Disconnect();
            throw;
        }
    }
    Disconnect();
    Open();
    try {
        // A shipment counts as kept once its commit returns, and the journal
        // may let go of it then: whatever the server's default, that commit
        // waits for the disk. A table another session holds, or a server
        // that crawls, fails a statement within seconds (and the shipment is
        // tried again later) rather than holding the forwarder; a
        // transaction left open by a gateway that froze lets go of its locks.
        Exec(kSessionSettings, "setting up the session");
        Migrate();
        Prepare();
        return ReadPosition(origin);
    } catch (const std::runtime_error&) {
        // Half set up is not connected: the next Connect starts afresh.
        Disconnect();
        throw;
    }
}

void PostgresSink::Open() {
    std::string password;
    if (!settings_.passwordFile.empty()) {
        password = ReadPasswordFile(settings_.passwordFile);
        filePassword_ = password;
    }
    const std::string application = "q31 collect " + gateway_;
    // Defaults first, so that the URL may set its own; the password last, so
    // that the file's wins over one in the URL. The keepalives and the user
    // time-out end a shipment whose server vanished without a word instead
    // of waiting for it for hours.
    std::vector<const char*> keys{"keepalives_idle",  "keepalives_interval", "keepalives_count",
                                  "tcp_user_timeout", "application_name",    "dbname"};
    std::vector<const char*> values{"30", "10", "3", "60000", application.c_str(), settings_.url.c_str()};
    if (!password.empty()) {
        keys.push_back("password");
        values.push_back(password.c_str());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    // Connected step by step, so that a stop never waits for a server that
    // does not answer.
    PGconn* conn = PQconnectStartParams(keys.data(), values.data(), 1);
    if (!conn) throw SinkError("postgres: out of memory connecting to " + PrintableUrl());
    conn_ = conn;
    if (PQstatus(conn_) == CONNECTION_BAD) Fail("cannot connect to " + PrintableUrl());
    const auto deadline = std::chrono::steady_clock::now() + kConnectTimeout;
    PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
    while (polling != PGRES_POLLING_OK) {
        if (polling == PGRES_POLLING_FAILED) Fail("cannot connect to " + PrintableUrl());
        if (aborted_) Fail("connecting to " + PrintableUrl());
        if (std::chrono::steady_clock::now() > deadline) {
            Disconnect();
            throw SinkError("postgres: cannot connect to " + PrintableUrl() + ": no answer within " +
                            std::to_string(kConnectTimeout.count()) + " s");
        }
        // In short steps, to see a stop or the deadline in time.
        const int ready = WaitForSocket(PQsocket(conn_), polling == PGRES_POLLING_WRITING, 100);
        if (ready < 0) Fail("waiting for " + PrintableUrl());
        if (ready > 0) polling = PQconnectPoll(conn_);
    }
    {
        std::lock_guard<std::mutex> lock(connMutex_);
        socket_ = PQsocket(conn_);
        cancel_.reset(PQgetCancel(conn_), PQfreeCancel);
    }
    // The server's notices ("already exists, skipping") are no news to the
    // operator, and the failures they precede come as errors.
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
}

void PostgresSink::Migrate() {
    Exec("BEGIN");
    // Other gateways migrating a large table are waited for, and a
    // migration may take long: only a stop ends the wait.
    Exec("SET LOCAL statement_timeout = 0; SET LOCAL lock_timeout = 0", "setting up the migration");
    params_.Clear();
    params_.Int8(kSchemaLock);
    {
        const char* values[] = {params_.data[0].data()};
        const int lengths[] = {8};
        const int formats[] = {1};
        const Oid types[] = {kPgInt8};
        PostgresResult r(
            PQexecParams(conn_, "SELECT pg_advisory_xact_lock($1)", 1, types, values, lengths, formats, 0));
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) Fail("cannot lock the schema", r.get());
    }
    Exec("CREATE TABLE IF NOT EXISTS q31_schema(version integer NOT NULL)");
    int version = 0;
    {
        PostgresResult r(PQexec(conn_, "SELECT version FROM q31_schema"));
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) Fail("cannot read the schema version", r.get());
        if (PQntuples(r.get()) > 0) version = std::stoi(PQgetvalue(r.get(), 0, 0));
    }
    if (version > kSchemaVersion) {
        Exec("ROLLBACK");
        throw SinkError("postgres: the database's schema is version " + std::to_string(version) +
                        ", newer than this program's " + std::to_string(kSchemaVersion));
    }
    for (int v = version; v < kSchemaVersion; ++v) Exec(PostgresMigrations()[v], "migrating the schema");
    if (version < kSchemaVersion) {
        const std::string set =
            version == 0 ? "INSERT INTO q31_schema(version) VALUES(" : "UPDATE q31_schema SET version = (";
        Exec((set + std::to_string(kSchemaVersion) + ")").c_str());
    }
    Exec("COMMIT");
}

void PostgresSink::Prepare() {
    for (const PostgresStatement& s : PostgresStatements()) {
        Oid types[PostgresParams::kMax];
        int count = 0;
        for (const char* t = s.types; *t; ++t) types[count++] = PgTypeOid(*t);
        PostgresResult r(PQprepare(conn_, s.name, s.sql, count, types));
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) Fail(std::string("cannot prepare ") + s.name, r.get());
    }
}

SinkConnection PostgresSink::ReadPosition(const JournalOrigin& origin) {
    struct Kept {
        std::string generation;
        std::int64_t seq = 0;
    };
    std::vector<Kept> kept;
    Exec("BEGIN");
    params_.Clear();
    params_.Text(gateway_).Text(Name());
    const char* values[] = {params_.data[0].c_str(), params_.data[1].c_str()};
    {
        PostgresResult r(PQexecPrepared(conn_, "read_position", 2, values, nullptr, nullptr, 0));
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) Fail("cannot read the position", r.get());
        for (int i = 0; i < PQntuples(r.get()); ++i)
            kept.push_back({PQgetvalue(r.get(), i, 0), std::stoll(PQgetvalue(r.get(), i, 1))});
    }
    SinkConnection c;
    const auto own = std::find_if(kept.begin(), kept.end(), [&](const Kept& k) { return k.generation == generation_; });
    const auto unnamed = std::find_if(kept.begin(), kept.end(), [](const Kept& k) { return k.generation.empty(); });
    if (own != kept.end()) {
        c.position = own->seq;
    } else if (unnamed != kept.end() && origin.position > 0 && unnamed->seq <= origin.newest) {
        // Shipped before generations were kept, from a database that has
        // shipped here (it keeps a position of its own) and whose journal
        // reaches that far: this one, which now has a generation.
        params_.Clear();
        params_.Text(gateway_).Text(generation_).Text(Name());
        Run("adopt_position");
        c.position = unnamed->seq;
        c.note = "the position kept before generations were (journal entry " + std::to_string(c.position) +
                 ") is this database's, generation " + generation_;
    } else {
        if (!kept.empty()) {
            // Another database of this gateway shipped here: this one's
            // journal is shipped whole, under its own generation.
            c.earlierGeneration = kept.front().generation.empty() ? "(unnamed)" : kept.front().generation;
            c.earlierPosition = kept.front().seq;
        }
        // Kept from now on, so that the news is told once.
        params_.Clear();
        params_.Text(gateway_).Text(generation_).Text(Name()).Int8(0);
        Run("position");
    }
    Exec("COMMIT");
    return c;
}

void PostgresSink::Disconnect() {
    std::lock_guard<std::mutex> lock(connMutex_);
    socket_ = -1;
    cancel_.reset();
    if (conn_) PQfinish(conn_);
    conn_ = nullptr;
}

}  // namespace q31::tool::forward
