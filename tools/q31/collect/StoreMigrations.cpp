#include "tools/q31/collect/StoreMigrations.h"

#include <iterator>

#include "tools/q31/collect/CollectStore.h"

namespace q31::tool::collect {

namespace {

const char* const kMigrations[] = {
    R"sql(
CREATE TABLE meters(
    name TEXT PRIMARY KEY,
    serial INTEGER NOT NULL,
    address INTEGER NOT NULL,
    port TEXT NOT NULL,
    dev_type INTEGER,
    id_word2 INTEGER,
    module_count INTEGER,
    first_seen INTEGER NOT NULL,
    last_seen INTEGER NOT NULL
);
CREATE TABLE runs(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    started_at INTEGER NOT NULL,
    finished_at INTEGER,
    mode TEXT NOT NULL,
    status TEXT NOT NULL DEFAULT 'running',
    meters_ok INTEGER,
    meters_failed INTEGER,
    records INTEGER,
    gaps INTEGER,
    log_records INTEGER,
    snapshots INTEGER
);
CREATE TABLE archive_values(
    meter TEXT NOT NULL,
    module INTEGER NOT NULL,
    series TEXT NOT NULL,
    record INTEGER NOT NULL,
    value INTEGER NOT NULL,
    run INTEGER,
    PRIMARY KEY(meter, module, series, record)
) WITHOUT ROWID;
CREATE TABLE gaps(
    meter TEXT NOT NULL,
    ring TEXT NOT NULL,
    module INTEGER NOT NULL,
    series TEXT NOT NULL,
    first_missing INTEGER NOT NULL,
    last_missing INTEGER NOT NULL,
    run INTEGER,
    found_at INTEGER NOT NULL,
    PRIMARY KEY(meter, module, series, first_missing)
);
CREATE TABLE snapshots(
    meter TEXT NOT NULL,
    kind TEXT NOT NULL,
    taken_at INTEGER NOT NULL,
    run INTEGER,
    data TEXT NOT NULL,
    PRIMARY KEY(meter, kind, taken_at)
);
CREATE TABLE log_heads(
    meter TEXT NOT NULL,
    log TEXT NOT NULL,
    module INTEGER NOT NULL,
    words TEXT NOT NULL,
    run INTEGER,
    read_at INTEGER NOT NULL,
    PRIMARY KEY(meter, log, module)
);
CREATE TABLE log_records(
    meter TEXT NOT NULL,
    log TEXT NOT NULL,
    module INTEGER NOT NULL,
    block INTEGER NOT NULL,
    position INTEGER NOT NULL,
    data BLOB NOT NULL,
    run INTEGER,
    first_seen INTEGER NOT NULL,
    PRIMARY KEY(meter, log, module, block, position, data)
);
)sql",
    // 2: the serial number that answered and its epoch join the keys of
    // everything read from the archive and the logs. Rows from before can
    // only have come from the serial number the meter row names.
    R"sql(
CREATE TABLE meter_units(
    meter TEXT NOT NULL,
    serial INTEGER NOT NULL,
    epoch INTEGER NOT NULL,
    hour_count INTEGER,
    day_count INTEGER,
    first_seen INTEGER NOT NULL,
    last_seen INTEGER NOT NULL,
    PRIMARY KEY(meter, serial)
);
CREATE TABLE meter_events(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    meter TEXT NOT NULL,
    serial INTEGER NOT NULL,
    epoch INTEGER NOT NULL,
    kind TEXT NOT NULL,
    detail TEXT NOT NULL,
    run INTEGER,
    at INTEGER NOT NULL
);
CREATE TABLE archive_values_2(
    meter TEXT NOT NULL,
    serial INTEGER NOT NULL,
    epoch INTEGER NOT NULL,
    module INTEGER NOT NULL,
    series TEXT NOT NULL,
    record INTEGER NOT NULL,
    value INTEGER NOT NULL,
    run INTEGER,
    PRIMARY KEY(meter, serial, epoch, module, series, record)
) WITHOUT ROWID;
INSERT INTO archive_values_2
    SELECT a.meter, coalesce(m.serial, 0), 0, a.module, a.series, a.record, a.value, a.run
    FROM archive_values a LEFT JOIN meters m ON m.name = a.meter;
DROP TABLE archive_values;
ALTER TABLE archive_values_2 RENAME TO archive_values;
CREATE TABLE gaps_2(
    meter TEXT NOT NULL,
    serial INTEGER NOT NULL,
    epoch INTEGER NOT NULL,
    ring TEXT NOT NULL,
    module INTEGER NOT NULL,
    series TEXT NOT NULL,
    first_missing INTEGER NOT NULL,
    last_missing INTEGER NOT NULL,
    run INTEGER,
    found_at INTEGER NOT NULL,
    PRIMARY KEY(meter, serial, epoch, module, series, first_missing)
);
INSERT INTO gaps_2
    SELECT g.meter, coalesce(m.serial, 0), 0, g.ring, g.module, g.series, g.first_missing, g.last_missing, g.run,
           g.found_at
    FROM gaps g LEFT JOIN meters m ON m.name = g.meter;
DROP TABLE gaps;
ALTER TABLE gaps_2 RENAME TO gaps;
CREATE TABLE log_heads_2(
    meter TEXT NOT NULL,
    serial INTEGER NOT NULL,
    epoch INTEGER NOT NULL,
    log TEXT NOT NULL,
    module INTEGER NOT NULL,
    words TEXT NOT NULL,
    run INTEGER,
    read_at INTEGER NOT NULL,
    PRIMARY KEY(meter, serial, epoch, log, module)
);
INSERT INTO log_heads_2
    SELECT h.meter, coalesce(m.serial, 0), 0, h.log, h.module, h.words, h.run, h.read_at
    FROM log_heads h LEFT JOIN meters m ON m.name = h.meter;
DROP TABLE log_heads;
ALTER TABLE log_heads_2 RENAME TO log_heads;
CREATE TABLE log_records_2(
    meter TEXT NOT NULL,
    serial INTEGER NOT NULL,
    epoch INTEGER NOT NULL,
    log TEXT NOT NULL,
    module INTEGER NOT NULL,
    block INTEGER NOT NULL,
    position INTEGER NOT NULL,
    data BLOB NOT NULL,
    run INTEGER,
    first_seen INTEGER NOT NULL,
    PRIMARY KEY(meter, serial, epoch, log, module, block, position, data)
);
INSERT INTO log_records_2
    SELECT r.meter, coalesce(m.serial, 0), 0, r.log, r.module, r.block, r.position, r.data, r.run, r.first_seen
    FROM log_records r LEFT JOIN meters m ON m.name = r.meter;
DROP TABLE log_records;
ALTER TABLE log_records_2 RENAME TO log_records;
-- The counters last seen are the newest record stored plus one: a meter
-- whose counters now stand below them was reset.
INSERT INTO meter_units(meter, serial, epoch, hour_count, day_count, first_seen, last_seen)
    SELECT m.name, m.serial, 0,
           (SELECT max(record) + 1 FROM archive_values a
             WHERE a.meter = m.name AND a.serial = m.serial AND a.series GLOB '*_hour'),
           (SELECT max(record) + 1 FROM archive_values a
             WHERE a.meter = m.name AND a.serial = m.serial AND a.series GLOB '*_day'),
           m.first_seen, m.last_seen
    FROM meters m;
)sql",
    // 3: every attempt on record, and every meter of the configuration in
    // `meters` from its first attempt, whether it ever answered or not
    // (first_seen and last_seen stay NULL until it does); snapshots keep the
    // start of the pass that took them, from which the next one is due.
    R"sql(
CREATE TABLE meters_3(
    name TEXT PRIMARY KEY,
    serial INTEGER NOT NULL,
    address INTEGER NOT NULL,
    port TEXT NOT NULL,
    dev_type INTEGER,
    id_word2 INTEGER,
    module_count INTEGER,
    first_seen INTEGER,
    last_seen INTEGER,
    first_attempt INTEGER NOT NULL,
    last_attempt INTEGER,
    last_ok INTEGER,
    last_outcome TEXT,
    failures INTEGER NOT NULL DEFAULT 0
);
INSERT INTO meters_3(name, serial, address, port, dev_type, id_word2, module_count, first_seen, last_seen,
                     first_attempt, last_attempt, last_ok, last_outcome)
    SELECT name, serial, address, port, dev_type, id_word2, module_count, first_seen, last_seen,
           first_seen, last_seen, last_seen, 'ok'
    FROM meters;
DROP TABLE meters;
ALTER TABLE meters_3 RENAME TO meters;
CREATE TABLE attempts(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    meter TEXT NOT NULL,
    serial_expected INTEGER NOT NULL,
    serial_found INTEGER,
    started_at INTEGER NOT NULL,
    ended_at INTEGER NOT NULL,
    outcome TEXT NOT NULL
        CHECK(outcome IN ('ok', 'no answer', 'other meter', 'port error', 'port busy', 'error')),
    message TEXT NOT NULL DEFAULT '',
    packets INTEGER NOT NULL DEFAULT 0,
    resends INTEGER NOT NULL DEFAULT 0,
    run INTEGER
);
CREATE INDEX attempts_by_meter ON attempts(meter, started_at);
CREATE INDEX attempts_failed ON attempts(started_at) WHERE outcome <> 'ok';
ALTER TABLE snapshots ADD COLUMN pass_started INTEGER;
)sql",
    // 4: the journal. Every batch adds one row in its own transaction, in
    // the order of the commits, which the forwarder ships to the sinks;
    // `sink_positions` keeps how far each sink got. What was stored before
    // goes into it first, so a sink added later gets the history too.
    R"sql(
CREATE TABLE journal(
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    kind TEXT NOT NULL,
    meter TEXT NOT NULL,
    serial INTEGER NOT NULL DEFAULT 0,
    epoch INTEGER NOT NULL DEFAULT 0,
    module INTEGER NOT NULL DEFAULT 0,
    name TEXT NOT NULL DEFAULT '',
    first INTEGER NOT NULL DEFAULT 0,
    last INTEGER NOT NULL DEFAULT 0,
    gap_first INTEGER,
    gap_last INTEGER,
    at INTEGER NOT NULL
);
CREATE TABLE sink_positions(
    sink TEXT PRIMARY KEY,
    seq INTEGER NOT NULL,
    at INTEGER NOT NULL
);
-- Replies thrown away during an attempt, by reason, and packets that had none.
ALTER TABLE attempts ADD COLUMN rejected_checksum INTEGER NOT NULL DEFAULT 0;
ALTER TABLE attempts ADD COLUMN rejected_other INTEGER NOT NULL DEFAULT 0;
ALTER TABLE attempts ADD COLUMN timeouts INTEGER NOT NULL DEFAULT 0;
INSERT INTO journal(kind, meter, serial, epoch, module, name, first, last, at)
    SELECT 'archive', meter, serial, epoch, module, series, min(record), max(record), max(coalesce(run, 0))
    FROM archive_values GROUP BY meter, serial, epoch, module, series;
INSERT INTO journal(kind, meter, serial, epoch, module, name, first, last, gap_first, gap_last, at)
    SELECT 'archive', meter, serial, epoch, module, series, 1, 0, first_missing, last_missing, found_at FROM gaps;
INSERT INTO journal(kind, meter, name, first, at)
    SELECT 'snapshot', meter, kind, taken_at, taken_at FROM snapshots ORDER BY taken_at;
INSERT INTO journal(kind, meter, serial, epoch, module, name, first, at)
    SELECT DISTINCT 'log', meter, serial, epoch, module, log, block, 0 FROM log_records;
INSERT INTO journal(kind, meter, serial, epoch, module, name, first, at)
    SELECT 'log', meter, serial, epoch, module, log, 0, read_at FROM log_heads;
INSERT INTO journal(kind, meter, serial, epoch, first, at)
    SELECT 'event', meter, serial, epoch, id, at FROM meter_events ORDER BY id;
INSERT INTO journal(kind, meter, serial, first, last, at)
    SELECT 'attempt', meter, serial_expected, id, 0, ended_at FROM attempts ORDER BY id;
)sql",
    // 5: what a value means and when its record closed. Both are settled when
    // the row is stored and never worked out again: a row from before has no
    // time (NULL, unknown) and stays raw. `quantities` holds the configuration
    // in force, rewritten at each start.
    R"sql(
ALTER TABLE archive_values ADD COLUMN closed_at INTEGER;
ALTER TABLE archive_values ADD COLUMN closed_at_estimated INTEGER NOT NULL DEFAULT 0;
ALTER TABLE archive_values ADD COLUMN quantity REAL;
ALTER TABLE archive_values ADD COLUMN unit TEXT;
CREATE TABLE quantities(
    meter TEXT NOT NULL,
    series TEXT NOT NULL,
    unit TEXT NOT NULL,
    scale REAL NOT NULL,
    name TEXT NOT NULL,
    PRIMARY KEY(meter, series)
);
)sql",
};
static_assert(std::size(kMigrations) == CollectStore::kSchemaVersion);

}  // namespace

std::span<const char* const> StoreMigrations() { return kMigrations; }

}  // namespace q31::tool::collect
