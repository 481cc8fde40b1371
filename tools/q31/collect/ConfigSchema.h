// Every key of the collector's configuration file, once: the reader takes
// its type, range and default from here, and the manual page's key tables,
// docs/configuration.md and the example file are checked against it (see
// tests/collect/ConfigDocsTest.cpp, which rewrites the tables on request).
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

#include "publicQ31.h"

namespace q31::tool::collect {

// The tables a key is written in; [defaults] takes the keys of Meter that
// are not `own`.
enum class KeyTable { Collect, Meter, Sim, Fault, Quantity, Postgres, Mqtt, Http, Modems };

enum class KeyType { Text, Whole, Number, Flag, Choice, TextList, WholeList, Table, TableList };

// The top of a range that has none.
inline constexpr double kNoLimit = std::numeric_limits<double>::infinity();

struct KeyRow {
    KeyTable table;
    std::string_view key;
    KeyType type;
    // Whole numbers and numbers (and the items of a WholeList): the values
    // allowed and the default (a flag's: 0 or 1). Doubles hold every whole
    // number a key takes exactly.
    double lo = 0;
    double hi = 0;
    double fallback = 0;
    // The default of a text or a choice as the reader uses it; where the
    // default is worked out at run time (the gateway's host name) or is not
    // one value (a list's), as the reference states it. Of a number, ""
    // stands for the fallback's value.
    std::string_view defaultText = {};
    std::string_view help = {};
    bool required = false;
    bool own = false;  // [[meter]] only: not in [defaults]
};

struct TableRow {
    KeyTable table;
    std::string_view header;  // as the reference heads its keys
    std::string_view help;
};

// clang-format off
inline constexpr TableRow kConfigTables[] = {
    {KeyTable::Collect, "[collect]", "How the collector runs, for every meter."},
    {KeyTable::Meter, "[[meter]] and [defaults]",
     "One *[[meter]]* table per meter. *[defaults]* takes any key of a meter but *name*, *port* and *sim*, "
     "for every meter that does not set it. Meters on one port must share its line settings and differ in "
     "address."},
    {KeyTable::Sim, "[meter.sim]", "For a meter on a *sim:SEED* port: the virtual meter made inside the program."},
    {KeyTable::Fault, "faults = [{ ... }] in [meter.sim]",
     "Each entry spoils a share of the virtual meter's replies."},
    {KeyTable::Quantity, "[quantity.X] and [meter.quantity.X]",
     "What the raw registers of series *X* mean (*e*, *t*, *u*, *m* or *stop*; *time* stays the meter's own): "
     "the value shipped is raw × *scale* in *unit*, the raw value beside it. *[meter.quantity.X]* in a "
     "*[[meter]]* overrides the keys it sets for that meter. A series without a quantity goes out raw, marked "
     "so."},
    {KeyTable::Postgres, "[sink.postgres]",
     "Ships the journal to PostgreSQL, which many gateways may share; on when the table is there. A password in "
     "*url* is masked in every message, in either form."},
    {KeyTable::Mqtt, "[sink.mqtt]",
     "One JSON message per stored batch to an MQTT broker, on *PREFIX/GATEWAY/METER/KIND*; on when the table "
     "is there."},
    {KeyTable::Http, "[http]",
     "Serves /metrics (Prometheus) and a status page at /; on when the table is there. A connection idle for "
     "2 s is closed; 16 are served at once and 32 more wait, the rest wait in the kernel."},
    {KeyTable::Modems, "[modems]",
     "Listens for modems that call in; a meter on port *modem:ID* is reached through the modem that registers "
     "as ID. A modem that calls again replaces its old call; until it has called, its meters wait for it."},
};

inline constexpr KeyRow kConfigKeys[] = {
    // table           key              type             lo    hi            fallback defaultText
    {KeyTable::Collect, "db",            KeyType::Text,   0, 0, 0, "",
     "The SQLite database, made when missing; *--db* on the command line takes precedence."},
    {KeyTable::Collect, "retries",       KeyType::Whole,  0, 1000, 3, "",
     "Further attempts on a failed meter within one pass (*--once*)."},
    {KeyTable::Collect, "retry_base_ms", KeyType::Whole,  1, 86400000, 2000, "",
     "The pause before the first retry, doubled for each further failure."},
    {KeyTable::Collect, "retry_max_ms",  KeyType::Whole,  1, 86400000, 300000, "",
     "The longest pause; not below *retry_base_ms*."},
    {KeyTable::Collect, "confirm",       KeyType::Choice, 0, 0, 0, "auto",
     "Confirmed reads: *off*, *always*, or *auto* (only after a fault), for every meter that names none. "
     "*--confirm* on the command line overrules the file."},
    {KeyTable::Collect, "gateway",       KeyType::Text,   0, 0, 0, "the host name",
     "This gateway's name in what the sinks receive; no *+*, *#* or control character."},

    {KeyTable::Meter, "name",       KeyType::Text,   0, 0, 0, "",
     "Unique; the meter's key in the database. No control character, and no *+* or *#* while *[sink.mqtt]* is "
     "on.", true, true},
    {KeyTable::Meter, "port",       KeyType::Text,   0, 0, 0, "",
     "A serial device; a serial server, *tcp://HOST:PORT* (raw TCP) or *rfc2217://HOST:PORT* "
     "(telnet, the line set by *baud*, *parity* and *stop_bits*); *modem:ID* for a meter behind a modem that "
     "calls in (see *[modems]*); or *sim:SEED* for a virtual meter, *q31-sim* started by the program.", true, true},
    {KeyTable::Meter, "sim",        KeyType::Table,  0, 0, 0, "", "The virtual meter of a *sim:SEED* port.",
     false, true},
    {KeyTable::Meter, "baud",       KeyType::Whole,  50, 4000000, 9600, "", "A standard line speed."},
    {KeyTable::Meter, "parity",     KeyType::Choice, 0, 0, 0, "none", "*none*, *even* or *odd*."},
    {KeyTable::Meter, "stop_bits",  KeyType::Whole,  1, 2, 1, "", "Stop bits of each character."},
    {KeyTable::Meter, "echo",       KeyType::Flag,   0, 1, 0, "", "A two-wire line that returns what is sent."},
    {KeyTable::Meter, "serial",     KeyType::Whole,  0, 4294967295.0, 0, "",
     "The serial number the meter must answer with (*q31 id* shows it).", true},
    {KeyTable::Meter, "address",    KeyType::Whole,  Q31_ADDRESS_MIN, Q31_ADDRESS_MAX, Q31_DEFAULT_ADDRESS, "",
     "The meter's address on its line."},
    {KeyTable::Meter, "timeout_ms", KeyType::Whole,  1, Q31_TIMEOUT_MAX_MS, Q31_DEFAULT_TIMEOUT_MS, "",
     "The wait for each reply, as for *--timeout* (earlier versions took 1000 by default)."},
    {KeyTable::Meter, "send_limit", KeyType::Whole,  1, 1000, Q31_DEFAULT_SEND_LIMIT, "",
     "Sends of one packet before the read fails."},
    {KeyTable::Meter, "confirm",    KeyType::Choice, 0, 0, 0, "[collect] confirm", "As in *[collect]*."},
    {KeyTable::Meter, "series",     KeyType::TextList, 0, 0, 0, "all",
     "*time*, *stop*, *t*, *u*, *m*, *e*, or one ring's, such as *t_hour*."},
    {KeyTable::Meter, "rings",      KeyType::TextList, 0, 0, 0, "both", "*hour*, *day*."},
    {KeyTable::Meter, "modules",    KeyType::WholeList, 1, 6, 0, "every module the meter reports",
     "The modules read."},
    {KeyTable::Meter, "quantity",   KeyType::Table,  0, 0, 0, "the [quantity.X] tables",
     "This meter's own *[meter.quantity.X]* tables.", false, true},
    {KeyTable::Meter, "logs",       KeyType::Flag,   0, 1, 1, "", "Reads the error and edit logs."},
    {KeyTable::Meter, "current_every_min", KeyType::Whole, 0, 1000000, 15, "",
     "Minutes between reads of the current values and totals; 0: never."},
    {KeyTable::Meter, "archive_every_min", KeyType::Number, 0.01, 1000000, 60, "",
     "Minutes between reads of new archive records and the logs (not with *--once*); a fraction suits a "
     "virtual meter whose clock runs fast."},

    {KeyTable::Sim, "serial",         KeyType::Whole,  0, 4294967295.0, 0, "the meter's", "Its serial number."},
    {KeyTable::Sim, "modules",        KeyType::Whole,  1, 6, 2, "", "Its modules."},
    {KeyTable::Sim, "hour_count",     KeyType::Whole,  0, 4294967295.0, 300, "", "The hourly records it holds."},
    {KeyTable::Sim, "day_count",      KeyType::Whole,  0, 4294967295.0, 120, "", "The daily records it holds."},
    {KeyTable::Sim, "version_word",   KeyType::Whole,  0, 0xFFFF, 0x00F0, "0x00F0", "Its version word."},
    {KeyTable::Sim, "reply_delay_ms", KeyType::Whole,  0, 60000, 0, "", "The pause before each reply."},
    {KeyTable::Sim, "faults",         KeyType::TableList, 0, 0, 0, "none", "The faults of its replies."},
    {KeyTable::Sim, "clock_rate",     KeyType::Number, 0, kNoLimit, 0, "",
     "Simulated seconds per second, 0 or more; 0 keeps its memory as made. The line takes its first meter's."},

    {KeyTable::Fault, "kind",  KeyType::Choice, 0, 0, 0, "",
     "*silence*, *bad-checksum*, *wrong-address*, *short*, *corrupt*, *delay* or *blind-corrupt*.", true},
    {KeyTable::Fault, "rate",  KeyType::Number, 0, 1, 0, "", "The share of replies it spoils.", true},
    {KeyTable::Fault, "param", KeyType::Whole,  0, 600000, 0, "", "The fault's parameter (a delay's ms)."},

    {KeyTable::Quantity, "unit",  KeyType::Text,   0, 0, 0, "",
     "The unit of raw × *scale*: *GJ*, *Gcal*, *kWh*, *m³*, *t*, *°C*, *h*...", true},
    {KeyTable::Quantity, "scale", KeyType::Number, 0, kNoLimit, 1, "",
     "The factor from the raw register to *unit*; above 0."},
    {KeyTable::Quantity, "name",  KeyType::Text,   0, 0, 0, "Energy, Temperature, Volume, Mass, Stop time",
     "What the value is called, for people."},

    {KeyTable::Postgres, "url",           KeyType::Text,  0, 0, 0, "",
     "A libpq URL, *postgresql://USER@HOST:PORT/DATABASE*, or key=value pairs (host=... dbname=...).", true},
    {KeyTable::Postgres, "password_file", KeyType::Text,  0, 0, 0, "",
     "The password, read at each connection."},
    {KeyTable::Postgres, "batch_rows",    KeyType::Whole, 1, 1000000, 5000, "",
     "Archive values per transaction, about."},

    {KeyTable::Mqtt, "host",          KeyType::Text,  0, 0, 0, "127.0.0.1", "A host name or address, not a URL."},
    {KeyTable::Mqtt, "port",          KeyType::Whole, 1, 65535, 1883, "", "The broker's port."},
    {KeyTable::Mqtt, "prefix",        KeyType::Text,  0, 0, 0, "q31",
     "The first level of every topic; not empty, no *+*, *#* or control character."},
    {KeyTable::Mqtt, "client_id",     KeyType::Text,  0, 0, 0, "q31-GATEWAY",
     "The broker keeps the session of this client."},
    {KeyTable::Mqtt, "username",      KeyType::Text,  0, 0, 0, "", "The user the broker knows."},
    {KeyTable::Mqtt, "password_file", KeyType::Text,  0, 0, 0, "", "The password on its first line."},
    {KeyTable::Mqtt, "ca_file",       KeyType::Text,  0, 0, 0, "", "TLS when given: the authorities trusted."},
    {KeyTable::Mqtt, "cert_file",     KeyType::Text,  0, 0, 0, "", "A client certificate, with *key_file*."},
    {KeyTable::Mqtt, "key_file",      KeyType::Text,  0, 0, 0, "", "The client certificate's key."},
    {KeyTable::Mqtt, "keepalive_s",   KeyType::Whole, 5, 3600, 30, "", "Seconds between keep-alive messages."},
    {KeyTable::Mqtt, "homeassistant", KeyType::Flag,  0, 1, 0, "",
     "Home Assistant discovery: an entity per meter, module and quantity, and *PREFIX/GATEWAY/availability* "
     "with the connection's last will."},
    {KeyTable::Mqtt, "homeassistant_prefix", KeyType::Text, 0, 0, 0, "homeassistant",
     "Home Assistant's discovery prefix; not empty, no *+*, *#* or control character."},

    {KeyTable::Http, "listen", KeyType::Text, 0, 0, 0, "127.0.0.1:9731",
     "*HOST:PORT*, *[IPv6]:PORT* or *:PORT* (every interface); port 0..65535, 0 any free one."},

    {KeyTable::Modems, "listen",     KeyType::Text,  0, 0, 0, "",
     "*HOST:PORT* the modems call, as in *[http]*.", true},
    {KeyTable::Modems, "id_length",  KeyType::Whole, 0, 64, 0, "",
     "The registration is this many bytes; 0: the bytes up to *id_end*."},
    {KeyTable::Modems, "id_end",     KeyType::Text,  0, 0, 0, "\\n",
     "What ends a registration of no fixed length; a line (a carriage return before it is dropped)."},
    {KeyTable::Modems, "heartbeats", KeyType::TextList, 0, 0, 0, "none",
     "Strings the modems send of their own accord, taken out of what they send."},
    {KeyTable::Modems, "register_timeout_s", KeyType::Whole, 1, 3600, 30, "",
     "A caller that has not registered in this time is hung up on."},
    {KeyTable::Modems, "once_wait_s", KeyType::Whole, 0, 86400, 60, "",
     "With *--once*: how long a modem that has not called in is waited for; then its meters fail."},
};
// clang-format on

// The row of `key` in `table`; a name that is not in the table does not compile.
consteval const KeyRow& Key(KeyTable table, std::string_view key) {
    for (const KeyRow& row : kConfigKeys)
        if (row.table == table && row.key == key) return row;
    throw "no such key";
}

// Calls f(table, row) for every key, table by table, in the reference's order.
template <typename F>
constexpr void VisitConfigSchema(F&& f) {
    for (const TableRow& table : kConfigTables)
        for (const KeyRow& row : kConfigKeys)
            if (row.table == table.table) f(table, row);
}

}  // namespace q31::tool::collect
