#include "tools/q31/forward/PostgresSink.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>

#include "support/SocketWait.h"

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

// Type oids of the parameters, fixed in every PostgreSQL.
constexpr Oid kText = 25;
constexpr Oid kInt8 = 20;
constexpr Oid kInt4 = 23;
constexpr Oid kBytea = 17;
constexpr Oid kInt4Array = 1007;
constexpr Oid kInt8Array = 1016;
constexpr Oid kByteaArray = 1001;

// Times are Unix seconds as in the gateway's SQLite database, which keeps
// the operator's queries alike on both.
const char* const kMigrations[] = {
    // 1: the first schema.
    R"sql(
CREATE TABLE archive_values(
    gateway text NOT NULL,
    meter text NOT NULL,
    serial bigint NOT NULL,
    epoch bigint NOT NULL,
    module integer NOT NULL,
    series text NOT NULL,
    record bigint NOT NULL,
    value bigint NOT NULL,
    PRIMARY KEY(gateway, meter, serial, epoch, module, series, record)
);
CREATE TABLE gaps(
    gateway text NOT NULL,
    meter text NOT NULL,
    serial bigint NOT NULL,
    epoch bigint NOT NULL,
    module integer NOT NULL,
    series text NOT NULL,
    first_missing bigint NOT NULL,
    last_missing bigint NOT NULL,
    found_at bigint NOT NULL,
    PRIMARY KEY(gateway, meter, serial, epoch, module, series, first_missing)
);
CREATE TABLE snapshots(
    gateway text NOT NULL,
    meter text NOT NULL,
    kind text NOT NULL,
    taken_at bigint NOT NULL,
    serial bigint NOT NULL,
    data jsonb NOT NULL,
    PRIMARY KEY(gateway, meter, kind, taken_at)
);
CREATE TABLE log_records(
    gateway text NOT NULL,
    meter text NOT NULL,
    serial bigint NOT NULL,
    epoch bigint NOT NULL,
    log text NOT NULL,
    module integer NOT NULL,
    block integer NOT NULL,
    position integer NOT NULL,
    data bytea NOT NULL,
    first_seen bigint NOT NULL,
    PRIMARY KEY(gateway, meter, serial, epoch, log, module, block, position, data)
);
CREATE TABLE log_heads(
    gateway text NOT NULL,
    meter text NOT NULL,
    serial bigint NOT NULL,
    epoch bigint NOT NULL,
    log text NOT NULL,
    module integer NOT NULL,
    words integer[] NOT NULL,
    read_at bigint NOT NULL,
    seq bigint NOT NULL,
    PRIMARY KEY(gateway, meter, serial, epoch, log, module)
);
CREATE TABLE attempts(
    gateway text NOT NULL,
    id bigint NOT NULL,
    meter text NOT NULL,
    serial_expected bigint NOT NULL,
    serial_found bigint,
    started_at bigint NOT NULL,
    ended_at bigint NOT NULL,
    outcome text NOT NULL,
    message text NOT NULL,
    packets integer NOT NULL,
    resends integer NOT NULL,
    PRIMARY KEY(gateway, id)
);
CREATE INDEX attempts_by_meter ON attempts(gateway, meter, started_at);
CREATE INDEX attempts_failed ON attempts(started_at, id) WHERE outcome <> 'ok';
CREATE TABLE meter_events(
    gateway text NOT NULL,
    id bigint NOT NULL,
    meter text NOT NULL,
    serial bigint NOT NULL,
    epoch bigint NOT NULL,
    kind text NOT NULL,
    detail text NOT NULL,
    at bigint NOT NULL,
    PRIMARY KEY(gateway, id)
);
CREATE TABLE meters(
    gateway text NOT NULL,
    name text NOT NULL,
    serial bigint NOT NULL,
    last_attempt_id bigint NOT NULL,
    last_attempt bigint NOT NULL,
    last_outcome text NOT NULL,
    last_ok bigint,
    failures integer NOT NULL,
    PRIMARY KEY(gateway, name)
);
CREATE TABLE q31_forward(
    gateway text NOT NULL,
    sink text NOT NULL,
    seq bigint NOT NULL,
    shipped_at timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY(gateway, sink)
);
)sql",
    // 2: the gateway database's generation joins every key. A gateway whose
    // database is made anew numbers its journal, its attempts and its events
    // from 1 again and its meters' epochs from 0: under its new generation
    // none of that meets the old rows, which stay. Rows from before carry
    // the generation ''.
    R"sql(
ALTER TABLE archive_values ADD COLUMN generation text NOT NULL DEFAULT '';
ALTER TABLE archive_values DROP CONSTRAINT archive_values_pkey;
ALTER TABLE archive_values ADD PRIMARY KEY(gateway, generation, meter, serial, epoch, module, series, record);
ALTER TABLE gaps ADD COLUMN generation text NOT NULL DEFAULT '';
ALTER TABLE gaps DROP CONSTRAINT gaps_pkey;
ALTER TABLE gaps ADD PRIMARY KEY(gateway, generation, meter, serial, epoch, module, series, first_missing);
ALTER TABLE snapshots ADD COLUMN generation text NOT NULL DEFAULT '';
ALTER TABLE snapshots DROP CONSTRAINT snapshots_pkey;
ALTER TABLE snapshots ADD PRIMARY KEY(gateway, generation, meter, kind, taken_at);
ALTER TABLE log_records ADD COLUMN generation text NOT NULL DEFAULT '';
ALTER TABLE log_records DROP CONSTRAINT log_records_pkey;
ALTER TABLE log_records ADD PRIMARY KEY(gateway, generation, meter, serial, epoch, log, module, block, position, data);
ALTER TABLE log_heads ADD COLUMN generation text NOT NULL DEFAULT '';
ALTER TABLE log_heads DROP CONSTRAINT log_heads_pkey;
ALTER TABLE log_heads ADD PRIMARY KEY(gateway, generation, meter, serial, epoch, log, module);
ALTER TABLE attempts ADD COLUMN generation text NOT NULL DEFAULT '';
ALTER TABLE attempts DROP CONSTRAINT attempts_pkey;
ALTER TABLE attempts ADD PRIMARY KEY(gateway, generation, id);
ALTER TABLE meter_events ADD COLUMN generation text NOT NULL DEFAULT '';
ALTER TABLE meter_events DROP CONSTRAINT meter_events_pkey;
ALTER TABLE meter_events ADD PRIMARY KEY(gateway, generation, id);
ALTER TABLE meters ADD COLUMN generation text NOT NULL DEFAULT '';
ALTER TABLE q31_forward ADD COLUMN generation text NOT NULL DEFAULT '';
ALTER TABLE q31_forward DROP CONSTRAINT q31_forward_pkey;
ALTER TABLE q31_forward ADD PRIMARY KEY(gateway, generation, sink);
CREATE TABLE q31_rejected(
    gateway text NOT NULL,
    generation text NOT NULL,
    seq bigint NOT NULL,
    kind text NOT NULL,
    meter text NOT NULL,
    error text NOT NULL,
    rejected_at timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY(gateway, generation, seq)
);
)sql",
};
constexpr int kMigrationCount = static_cast<int>(sizeof kMigrations / sizeof *kMigrations);
static_assert(kMigrationCount == PostgresSink::kSchemaVersion);

// Prepared once per connection: the statement names and their text.
struct Statement {
    const char* name;
    const char* types;  // of the parameters: t text, l int8, i int4, L int8[], I int4[], B bytea[]
    const char* sql;
};

Oid TypeOid(char c) {
    switch (c) {
        case 'l': return kInt8;
        case 'i': return kInt4;
        case 'L': return kInt8Array;
        case 'I': return kInt4Array;
        case 'B': return kByteaArray;
        default: return kText;
    }
}
const Statement kStatements[] = {
    // The records of a batch follow each other from the first: one array of
    // values stands for all of them.
    {"archive", "tttllitlL",
     "INSERT INTO archive_values(gateway, generation, meter, serial, epoch, module, series, record, value) "
     "SELECT $1, $2, $3, $4, $5, $6, $7, $8 + v.n - 1, v.value "
     "FROM unnest($9::bigint[]) WITH ORDINALITY AS v(value, n) ON CONFLICT DO NOTHING"},
    {"gap", "tttllitlll",
     "INSERT INTO gaps(gateway, generation, meter, serial, epoch, module, series, first_missing, last_missing, "
     "found_at) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10) ON CONFLICT DO NOTHING"},
    {"snapshot", "tttltlt",
     "INSERT INTO snapshots(gateway, generation, meter, serial, kind, taken_at, data) "
     "VALUES($1, $2, $3, $4, $5, $6, $7::jsonb) ON CONFLICT DO NOTHING"},
    {"log", "tttlltiIIBl",
     "INSERT INTO log_records(gateway, generation, meter, serial, epoch, log, module, block, position, data, "
     "first_seen) SELECT $1, $2, $3, $4, $5, $6, $7, r.block, r.position, r.data, $11 "
     "FROM unnest($8::integer[], $9::integer[], $10::bytea[]) AS r(block, position, data) ON CONFLICT DO NOTHING"},
    // A head read later replaces the one before; the same head shipped again
    // after a newer one must not put the older back.
    {"head", "tttlltiIll",
     "INSERT INTO log_heads(gateway, generation, meter, serial, epoch, log, module, words, read_at, seq) "
     "VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10) "
     "ON CONFLICT (gateway, generation, meter, serial, epoch, log, module) DO UPDATE "
     "SET words = excluded.words, read_at = excluded.read_at, seq = excluded.seq "
     "WHERE log_heads.seq <= excluded.seq"},
    {"attempt", "ttltllllttii",
     "INSERT INTO attempts(gateway, generation, id, meter, serial_expected, serial_found, started_at, ended_at, "
     "outcome, message, packets, resends) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12) "
     "ON CONFLICT DO NOTHING"},
    // The meter's state follows its newest attempt only, so that an attempt
    // shipped again changes nothing. Within a generation the attempts' ids
    // tell which is newer; a new generation numbers them from 1 again, and
    // its attempts take over from the old one's by their time.
    {"meter", "tttllllti",
     "INSERT INTO meters(gateway, generation, name, serial, last_attempt_id, last_attempt, last_outcome, last_ok, "
     "failures) VALUES($1, $2, $3, coalesce($5, $4), $6, $7, $8, CASE WHEN $8 = 'ok' THEN $7 END, $9) "
     "ON CONFLICT (gateway, name) DO UPDATE SET serial = coalesce($5, meters.serial), "
     "generation = excluded.generation, last_attempt_id = excluded.last_attempt_id, "
     "last_attempt = excluded.last_attempt, last_outcome = excluded.last_outcome, "
     "last_ok = coalesce(excluded.last_ok, meters.last_ok), failures = excluded.failures "
     "WHERE CASE WHEN meters.generation = excluded.generation THEN meters.last_attempt_id < excluded.last_attempt_id "
     "ELSE meters.last_attempt <= excluded.last_attempt END"},
    {"event", "ttltllttl",
     "INSERT INTO meter_events(gateway, generation, id, meter, serial, epoch, kind, detail, at) "
     "VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9) ON CONFLICT DO NOTHING"},
    {"position", "tttl",
     "INSERT INTO q31_forward(gateway, generation, sink, seq) VALUES($1, $2, $3, $4) "
     "ON CONFLICT (gateway, generation, sink) DO UPDATE "
     "SET seq = greatest(q31_forward.seq, excluded.seq), shipped_at = now()"},
    // Whether any of a batch's records is there already.
    {"stored", "tttllitll",
     "SELECT 1 FROM archive_values WHERE gateway = $1 AND generation = $2 AND meter = $3 AND serial = $4 "
     "AND epoch = $5 AND module = $6 AND series = $7 AND record BETWEEN $8 AND $9 LIMIT 1"},
    // Every generation's position, the newest shipment first.
    {"read_position", "tt",
     "SELECT generation, seq FROM q31_forward WHERE gateway = $1 AND sink = $2 ORDER BY shipped_at DESC"},
    // The position kept before generations were, taken over by the database it belongs to.
    {"adopt_position", "ttt",
     "UPDATE q31_forward SET generation = $2, shipped_at = now() WHERE gateway = $1 AND sink = $3 "
     "AND generation = ''"},
    {"rejected", "ttlttt",
     "INSERT INTO q31_rejected(gateway, generation, seq, kind, meter, error) VALUES($1, $2, $3, $4, $5, $6) "
     "ON CONFLICT DO NOTHING"},
};

struct ResultFree {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

void PutInt32(std::string& out, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    const char bytes[4] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
                           static_cast<char>(u)};
    out.append(bytes, 4);
}

void PutInt64(std::string& out, std::int64_t v) {
    const auto u = static_cast<std::uint64_t>(v);
    PutInt32(out, static_cast<std::int32_t>(u >> 32));
    PutInt32(out, static_cast<std::int32_t>(u & 0xFFFFFFFFu));
}

// The head of a one-dimensional array without NULLs in the binary format.
void PutArrayHeader(std::string& out, Oid element, std::size_t count) {
    PutInt32(out, count ? 1 : 0);
    PutInt32(out, 0);
    PutInt32(out, static_cast<std::int32_t>(element));
    if (count == 0) return;
    PutInt32(out, static_cast<std::int32_t>(count));
    PutInt32(out, 1);
}

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecoded(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 && HexDigit(s[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The passwords a URL or a key=value connection string may carry: in the
// user part of a URL, or as a password parameter of either form.
std::vector<std::string> PasswordsIn(const std::string& url) {
    std::vector<std::string> found;
    const std::size_t scheme = url.find("://");
    if (scheme != std::string::npos) {
        const std::size_t start = scheme + 3;
        const std::size_t end = url.find_first_of("/?", start);
        const std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::size_t at = authority.rfind('@');
        if (at != std::string::npos) {
            const std::size_t colon = authority.find(':');
            if (colon != std::string::npos && colon < at) found.push_back(authority.substr(colon + 1, at - colon - 1));
        }
    }
    // key = value pairs as libpq reads them (spaces around '=', a value in
    // quotes with \' inside), and the password=... of a URL's query.
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    for (std::size_t p = url.find("password"); p != std::string::npos; p = url.find("password", p + 1)) {
        std::size_t i = p + 8;
        while (i < url.size() && space(url[i])) ++i;
        if (i == url.size() || url[i] != '=') continue;
        ++i;
        while (i < url.size() && space(url[i])) ++i;
        std::size_t start = i;
        if (i < url.size() && url[i] == '\'') {
            start = ++i;
            while (i < url.size() && url[i] != '\'') i += url[i] == '\\' ? 2 : 1;
        } else {
            while (i < url.size() && !space(url[i]) && url[i] != '&') ++i;
        }
        found.push_back(url.substr(start, std::min(i, url.size()) - start));
    }
    // And the password as libpq takes it, unquoted and unescaped.
    if (PQconninfoOption* options = PQconninfoParse(url.c_str(), nullptr)) {
        for (PQconninfoOption* o = options; o->keyword; ++o)
            if (std::strcmp(o->keyword, "password") == 0 && o->val) found.emplace_back(o->val);
        PQconninfoFree(options);
    }
    std::vector<std::string> all;
    for (const std::string& f : found) {
        if (f.empty()) continue;
        all.push_back(f);
        if (PercentDecoded(f) != f) all.push_back(PercentDecoded(f));
    }
    return all;
}

std::string ReadPasswordFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    // The reason is the operating system's: "Too many open files" calls for
    // other help than a missing file does.
    if (!in) throw std::runtime_error("postgres: cannot read the password file " + path + ": " + std::strerror(errno));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

PostgresSink::Params& PostgresSink::Params::Text(const std::string& v) {
    data[count].assign(v);
    null[count++] = false;
    return *this;
}

PostgresSink::Params& PostgresSink::Params::Int8(std::int64_t v) {
    data[count].clear();
    PutInt64(data[count], v);
    null[count++] = false;
    return *this;
}

PostgresSink::Params& PostgresSink::Params::Int4(std::int32_t v) {
    data[count].clear();
    PutInt32(data[count], v);
    null[count++] = false;
    return *this;
}

PostgresSink::Params& PostgresSink::Params::Null() {
    data[count].clear();
    null[count++] = true;
    return *this;
}

std::string& PostgresSink::Params::Raw() {
    data[count].clear();
    null[count] = false;
    return data[count++];
}

PostgresSink::PostgresSink(collect::PostgresSinkSettings settings, std::string gateway)
    : spec_(std::move(settings)), gateway_(std::move(gateway)), secrets_(PasswordsIn(spec_.url)) {}

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

std::string PostgresSink::PrintableUrl() const { return Redact(spec_.url); }

namespace {

// Errors of a row's own making: a value the server cannot take (text that is
// not UTF-8 or holds a NUL, JSON it refuses, a number out of range), a
// constraint, a limit of the server's (an index entry too large). Anything
// else (permissions, locks, time-outs, a full disk, a connection) is the
// server's state, which changes: tried again later.
bool RowError(const std::string& state) {
    return state.size() == 5 &&
           (state.compare(0, 2, "22") == 0 || state.compare(0, 2, "23") == 0 || state.compare(0, 2, "54") == 0);
}

}  // namespace

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
        if (!careful_ && PQtransactionStatus(conn_) != PQTRANS_IDLE) Result(PQexec(conn_, "ROLLBACK"));
    } else {
        Disconnect();
    }
    // The same failure again is the same kind, whatever file or value its
    // text names: the server's code for it, or its text when it has none.
    throw SinkError(message, lastState_.empty() ? message : "postgres: " + what + " [" + lastState_ + "]");
}

void PostgresSink::Exec(const char* sql, const char* what) {
    Result r(PQexec(conn_, sql));
    const ExecStatusType status = PQresultStatus(r.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        Fail(std::string(what ? what : sql) + " failed", r.get());
}

int PostgresSink::Run(const char* statement) {
    const char* values[Params::kMax];
    int lengths[Params::kMax];
    int formats[Params::kMax];
    for (int i = 0; i < params_.count; ++i) {
        values[i] = params_.null[i] ? nullptr : params_.data[i].data();
        lengths[i] = static_cast<int>(params_.data[i].size());
        formats[i] = 1;
    }
    Result r(PQexecPrepared(conn_, statement, params_.count, values, lengths, formats, 0));
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
    std::string password;
    if (!spec_.passwordFile.empty()) {
        password = ReadPasswordFile(spec_.passwordFile);
        filePassword_ = password;
    }
    const std::string application = "q31 collect " + gateway_;
    // Defaults first, so that the URL may set its own; the password last, so
    // that the file's wins over one in the URL. The keepalives and the user
    // time-out end a shipment whose server vanished without a word instead
    // of waiting for it for hours.
    std::vector<const char*> keys{"keepalives_idle",  "keepalives_interval", "keepalives_count",
                                  "tcp_user_timeout", "application_name",    "dbname"};
    std::vector<const char*> values{"30", "10", "3", "60000", application.c_str(), spec_.url.c_str()};
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
        const Oid types[] = {kInt8};
        Result r(PQexecParams(conn_, "SELECT pg_advisory_xact_lock($1)", 1, types, values, lengths, formats, 0));
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) Fail("cannot lock the schema", r.get());
    }
    Exec("CREATE TABLE IF NOT EXISTS q31_schema(version integer NOT NULL)");
    int version = 0;
    {
        Result r(PQexec(conn_, "SELECT version FROM q31_schema"));
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) Fail("cannot read the schema version", r.get());
        if (PQntuples(r.get()) > 0) version = std::stoi(PQgetvalue(r.get(), 0, 0));
    }
    if (version > kSchemaVersion) {
        Exec("ROLLBACK");
        throw SinkError("postgres: the database's schema is version " + std::to_string(version) +
                        ", newer than this program's " + std::to_string(kSchemaVersion));
    }
    for (int v = version; v < kSchemaVersion; ++v) Exec(kMigrations[v], "migrating the schema");
    if (version < kSchemaVersion) {
        const std::string set =
            version == 0 ? "INSERT INTO q31_schema(version) VALUES(" : "UPDATE q31_schema SET version = (";
        Exec((set + std::to_string(kSchemaVersion) + ")").c_str());
    }
    Exec("COMMIT");
}

void PostgresSink::Prepare() {
    for (const Statement& s : kStatements) {
        Oid types[Params::kMax];
        int count = 0;
        for (const char* t = s.types; *t; ++t) types[count++] = TypeOid(*t);
        Result r(PQprepare(conn_, s.name, s.sql, count, types));
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
        Result r(PQexecPrepared(conn_, "read_position", 2, values, nullptr, nullptr, 0));
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

namespace {

bool SameSeries(const JournalBatch& a, const JournalBatch& b) {
    return a.meter == b.meter && a.serial == b.serial && a.epoch == b.epoch && a.archive.module == b.archive.module &&
           a.archive.series == b.archive.series;
}

bool Overlap(const JournalBatch& a, const JournalBatch& b) {
    const std::int64_t aLast = std::int64_t{a.archive.first} + static_cast<std::int64_t>(a.archive.values.size());
    const std::int64_t bLast = std::int64_t{b.archive.first} + static_cast<std::int64_t>(b.archive.values.size());
    return SameSeries(a, b) && a.archive.first < bLast && b.archive.first < aLast;
}

}  // namespace

std::vector<Rejection> PostgresSink::Ship(const std::vector<JournalBatch>& batches) {
    if (batches.empty()) return {};
    if (aborted_) throw SinkError("postgres: stopped");
    if (!conn_) throw SinkError("postgres: not connected");
    try {
        ShipGroup(batches);
        return {};
    } catch (const SinkError&) {
        // A row the server refuses fails the whole group: the group goes
        // again, each batch on its own, and those refused are set aside.
        if (!RowError(lastState_) || !conn_ || aborted_) throw;
    }
    return ShipOneByOne(batches);
}

void PostgresSink::ShipGroup(const std::vector<JournalBatch>& batches) {
    Exec("BEGIN");
    // Archive values are nearly all of the rows, and nearly always new: those
    // of a batch none of whose records is stored yet go in by COPY, at the
    // pace of a bulk load. A batch shipped again, or one that overlaps
    // another of the group, goes row by row past what is there.
    fresh_.clear();
    for (const JournalBatch& b : batches) {
        if (b.kind != JournalBatch::Kind::Archive || b.archive.values.empty()) continue;
        bool overlaps = false;
        for (const JournalBatch* f : fresh_) overlaps = overlaps || Overlap(*f, b);
        if (!overlaps && !Stored(b)) fresh_.push_back(&b);
    }
    if (!fresh_.empty()) CopyArchive(fresh_);
    std::size_t copied = 0;
    for (const JournalBatch& b : batches) {
        if (copied < fresh_.size() && fresh_[copied] == &b) {
            ++copied;
            ShipGap(b);
        } else {
            ShipBatch(b);
        }
    }
    ShipPosition(batches);
    Exec("COMMIT");
}

std::vector<Rejection> PostgresSink::ShipOneByOne(const std::vector<JournalBatch>& batches) {
    std::vector<Rejection> rejected;
    Exec("BEGIN");
    careful_ = true;
    try {
        for (const JournalBatch& b : batches) {
            Exec("SAVEPOINT batch");
            try {
                ShipBatch(b);
                Exec("RELEASE SAVEPOINT batch");
            } catch (const SinkError&) {
                if (!RowError(lastState_) || !conn_ || PQstatus(conn_) != CONNECTION_OK || aborted_) throw;
                const std::string why = "postgres: refused " + std::string(KindName(b.kind)) + " of meter " + b.meter +
                                        ": " + lastPrimary_ + " [" + lastState_ + "]";
                Exec("ROLLBACK TO SAVEPOINT batch");
                // Set aside where an operator finds it; the rows stay in the
                // gateway's database.
                params_.Clear();
                params_.Text(gateway_).Text(generation_).Int8(b.seq).Text(KindName(b.kind)).Text(b.meter);
                params_.Text(lastPrimary_ + " [" + lastState_ + "]");
                Run("rejected");
                rejected.push_back({b.seq, why});
            }
        }
        ShipPosition(batches);
        careful_ = false;
        Exec("COMMIT");
    } catch (...) {
        if (careful_) {
            careful_ = false;
            if (conn_ && PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) != PQTRANS_IDLE)
                Result(PQexec(conn_, "ROLLBACK"));
        }
        throw;
    }
    return rejected;
}

void PostgresSink::ShipBatch(const JournalBatch& b) {
    switch (b.kind) {
        case JournalBatch::Kind::Archive: ShipArchive(b); break;
        case JournalBatch::Kind::Snapshot: ShipSnapshot(b); break;
        case JournalBatch::Kind::Log: ShipLog(b); break;
        case JournalBatch::Kind::Attempt: ShipAttempt(b); break;
        case JournalBatch::Kind::Event: ShipEvent(b); break;
    }
}

void PostgresSink::ShipPosition(const std::vector<JournalBatch>& batches) {
    std::int64_t last = 0;
    for (const JournalBatch& b : batches) last = std::max(last, b.seq);
    params_.Clear();
    params_.Text(gateway_).Text(generation_).Text(Name()).Int8(last);
    Run("position");
}

bool PostgresSink::Stored(const JournalBatch& b) {
    const ArchiveRows& a = b.archive;
    params_.Clear();
    params_.Text(gateway_).Text(generation_).Text(b.meter).Int8(b.serial).Int8(b.epoch).Int4(a.module);
    params_.Text(a.series).Int8(a.first);
    params_.Int8(std::int64_t{a.first} + static_cast<std::int64_t>(a.values.size()) - 1);
    return Run("stored") > 0;
}

namespace {

void PutField(std::string& out, const std::string& text) {
    PutInt32(out, static_cast<std::int32_t>(text.size()));
    out += text;
}

void PutField(std::string& out, std::int64_t v) {
    PutInt32(out, 8);
    PutInt64(out, v);
}

}  // namespace

void PostgresSink::CopyArchive(const std::vector<const JournalBatch*>& fresh) {
    Result start(PQexec(conn_,
                        "COPY archive_values(gateway, generation, meter, serial, epoch, module, series, record, value) "
                        "FROM STDIN (FORMAT binary)"));
    if (PQresultStatus(start.get()) != PGRES_COPY_IN) Fail("cannot start COPY into archive_values", start.get());
    copy_.assign("PGCOPY\n\377\r\n\0", 11);
    PutInt32(copy_, 0);  // flags
    PutInt32(copy_, 0);  // no header extension
    for (const JournalBatch* b : fresh) {
        const ArchiveRows& a = b->archive;
        for (std::size_t i = 0; i < a.values.size(); ++i) {
            copy_ += '\0';
            copy_ += '\x09';  // fields per row
            PutField(copy_, gateway_);
            PutField(copy_, generation_);
            PutField(copy_, b->meter);
            PutField(copy_, std::int64_t{b->serial});
            PutField(copy_, b->epoch);
            PutInt32(copy_, 4);
            PutInt32(copy_, a.module);
            PutField(copy_, a.series);
            PutField(copy_, std::int64_t{a.first} + static_cast<std::int64_t>(i));
            PutField(copy_, a.values[i]);
        }
    }
    copy_ += "\xff\xff";  // the end of the rows
    if (PQputCopyData(conn_, copy_.data(), static_cast<int>(copy_.size())) != 1 || PQputCopyEnd(conn_, nullptr) != 1) {
        Fail("COPY into archive_values failed");
    }
    Result end(PQgetResult(conn_));
    const bool ok = PQresultStatus(end.get()) == PGRES_COMMAND_OK;
    while (Result more{PQgetResult(conn_)}) {
    }
    if (!ok) Fail("COPY into archive_values failed", end.get());
}

void PostgresSink::ShipArchive(const JournalBatch& b) {
    const ArchiveRows& a = b.archive;
    if (!a.values.empty()) {
        params_.Clear();
        params_.Text(gateway_).Text(generation_).Text(b.meter).Int8(b.serial).Int8(b.epoch).Int4(a.module);
        params_.Text(a.series).Int8(a.first);
        std::string& array = params_.Raw();
        array.reserve(20 + 12 * a.values.size());
        PutArrayHeader(array, kInt8, a.values.size());
        for (std::int64_t v : a.values) {
            PutInt32(array, 8);
            PutInt64(array, v);
        }
        Run("archive");
    }
    ShipGap(b);
}

void PostgresSink::ShipGap(const JournalBatch& b) {
    const ArchiveRows& a = b.archive;
    if (a.gap) {
        params_.Clear();
        params_.Text(gateway_).Text(generation_).Text(b.meter).Int8(b.serial).Int8(b.epoch).Int4(a.module);
        params_.Text(a.series).Int8(a.gap->first).Int8(a.gap->second).Int8(b.committedAt);
        Run("gap");
    }
}

void PostgresSink::ShipSnapshot(const JournalBatch& b) {
    params_.Clear();
    params_.Text(gateway_).Text(generation_).Text(b.meter).Int8(b.serial).Text(b.snapshot.kind);
    params_.Int8(b.snapshot.takenAt).Text(b.snapshot.json);
    Run("snapshot");
}

void PostgresSink::ShipLog(const JournalBatch& b) {
    const LogRows& l = b.log;
    if (!l.records.empty()) {
        params_.Clear();
        params_.Text(gateway_).Text(generation_).Text(b.meter).Int8(b.serial).Int8(b.epoch).Text(l.log);
        params_.Int4(l.module);
        std::string& blocks = params_.Raw();
        PutArrayHeader(blocks, kInt4, l.records.size());
        for (const LogRow& r : l.records) {
            PutInt32(blocks, 4);
            PutInt32(blocks, r.block);
        }
        std::string& positions = params_.Raw();
        PutArrayHeader(positions, kInt4, l.records.size());
        for (const LogRow& r : l.records) {
            PutInt32(positions, 4);
            PutInt32(positions, r.position);
        }
        std::string& data = params_.Raw();
        PutArrayHeader(data, kBytea, l.records.size());
        for (const LogRow& r : l.records) {
            PutInt32(data, static_cast<std::int32_t>(r.data.size()));
            data.append(reinterpret_cast<const char*>(r.data.data()), r.data.size());
        }
        params_.Int8(b.committedAt);
        Run("log");
    }
    if (l.block == 0) {
        params_.Clear();
        params_.Text(gateway_).Text(generation_).Text(b.meter).Int8(b.serial).Int8(b.epoch).Text(l.log);
        params_.Int4(l.module);
        std::string& words = params_.Raw();
        PutArrayHeader(words, kInt4, l.head.size());
        for (std::uint16_t w : l.head) {
            PutInt32(words, 4);
            PutInt32(words, w);
        }
        params_.Int8(b.committedAt).Int8(b.seq);
        Run("head");
    }
}

void PostgresSink::ShipAttempt(const JournalBatch& b) {
    const AttemptRow& a = b.attempt;
    params_.Clear();
    params_.Text(gateway_).Text(generation_).Int8(a.id).Text(b.meter).Int8(a.serialExpected);
    if (a.serialFound) {
        params_.Int8(*a.serialFound);
    } else {
        params_.Null();
    }
    params_.Int8(a.startedAt).Int8(a.endedAt).Text(a.outcome).Text(a.message).Int4(a.packets).Int4(a.resends);
    Run("attempt");
    params_.Clear();
    params_.Text(gateway_).Text(generation_).Text(b.meter).Int8(a.serialExpected);
    if (a.serialFound) {
        params_.Int8(*a.serialFound);
    } else {
        params_.Null();
    }
    params_.Int8(a.id).Int8(a.endedAt).Text(a.outcome).Int4(a.failuresInRow);
    Run("meter");
}

void PostgresSink::ShipEvent(const JournalBatch& b) {
    const EventRow& e = b.event;
    params_.Clear();
    params_.Text(gateway_).Text(generation_).Int8(e.id).Text(b.meter).Int8(b.serial).Int8(b.epoch).Text(e.kind);
    params_.Text(e.detail).Int8(e.at);
    Run("event");
}

}  // namespace q31::tool::forward
