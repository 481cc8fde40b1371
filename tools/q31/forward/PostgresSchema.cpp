#include "tools/q31/forward/PostgresSchema.h"

#include <iterator>

#include "tools/q31/forward/PostgresSink.h"

namespace q31::tool::forward {

namespace {

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
    // 3: what each archive value means and when its record closed, as the
    // gateway stored them: quantity = value × scale in unit (NULL: raw), and
    // closed_at (NULL: stored before the gateway kept it, unknown).
    R"sql(
ALTER TABLE archive_values ADD COLUMN closed_at timestamptz,
    ADD COLUMN closed_at_estimated boolean NOT NULL DEFAULT false,
    ADD COLUMN quantity double precision,
    ADD COLUMN unit text;
CREATE INDEX archive_values_by_time ON archive_values(meter, series, closed_at);
)sql",
};
static_assert(std::size(kMigrations) == PostgresSink::kSchemaVersion);

const PostgresStatement kStatements[] = {
    // The records of a batch follow each other from the first: one array of
    // values stands for all of them.
    {"archive", "tttllitlLLIFT",
     "INSERT INTO archive_values(gateway, generation, meter, serial, epoch, module, series, record, value, "
     "closed_at, closed_at_estimated, quantity, unit) "
     "SELECT $1, $2, $3, $4, $5, $6, $7, $8 + v.n - 1, v.value, to_timestamp(v.closed_at), v.estimated <> 0, "
     "v.quantity, v.unit "
     "FROM unnest($9::bigint[], $10::bigint[], $11::integer[], $12::float8[], $13::text[]) WITH ORDINALITY "
     "AS v(value, closed_at, estimated, quantity, unit, n) ON CONFLICT DO NOTHING"},
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

}  // namespace

std::span<const char* const> PostgresMigrations() { return kMigrations; }
std::span<const PostgresStatement> PostgresStatements() { return kStatements; }

}  // namespace q31::tool::forward
