// What `q31 collect` reads, from which meters, and how often: the TOML file
// the operator writes, checked and with every default filled in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "publicQ31.h"
#include "support/HostPort.h"
#include "tools/q31/collect/ConfigSchema.h"
#include "tools/q31/collect/ModemSettings.h"
#include "tools/q31/common/Quantity.h"
#include "tools/q31/forward/MqttSinkSettings.h"
#include "tools/q31/forward/PostgresSinkSettings.h"
#include "tools/q31/status/HttpSettings.h"

namespace q31::tool::collect {

// The default of a numeric key, as the member holding it takes it.
template <typename T>
consteval T DefaultOf(KeyTable table, std::string_view key) {
    return static_cast<T>(Key(table, key).fallback);
}

// A fault a virtual meter puts into its replies, as q31-sim names it.
struct SimFault {
    std::string kind;  // silence, bad-checksum, wrong-address, short, corrupt, delay or blind-corrupt
    double rate = 0;   // the share of replies it spoils
    int param = 0;
};

// A port named "sim:SEED": a virtual meter (q31-sim) started by the program,
// made as this says, so that a configuration runs on a machine without meters.
struct SimSettings {
    std::uint64_t seed = 0;
    std::optional<std::uint32_t> serial;  // default: the serial number the meter entry expects
    std::uint8_t modules = DefaultOf<std::uint8_t>(KeyTable::Sim, "modules");
    std::uint32_t hourCount = DefaultOf<std::uint32_t>(KeyTable::Sim, "hour_count");
    std::uint32_t dayCount = DefaultOf<std::uint32_t>(KeyTable::Sim, "day_count");
    std::uint16_t versionWord = DefaultOf<std::uint16_t>(KeyTable::Sim, "version_word");
    int replyDelayMs = DefaultOf<int>(KeyTable::Sim, "reply_delay_ms");
    std::vector<SimFault> faults;
    // Simulated seconds per real second: the meter writes its hourly and
    // daily records as it runs (0: its memory stays as made). The line takes
    // its first meter's.
    double clockRate = DefaultOf<double>(KeyTable::Sim, "clock_rate");
    bool given = false;  // the entry has a sim table of its own
};

// A virtual meter on a sim: line, as the line's q31-sim makes it.
struct SimLineMeter {
    std::uint8_t address = Q31_DEFAULT_ADDRESS;
    std::uint32_t serial = 0;
    SimSettings sim;
};

struct MeterSettings {
    std::string name;
    std::string port;
    HostPortSettings line;
    bool echo = DefaultOf<bool>(KeyTable::Meter, "echo");
    std::uint32_t serial = 0;
    std::uint8_t address = DefaultOf<std::uint8_t>(KeyTable::Meter, "address");
    int timeoutMs = DefaultOf<int>(KeyTable::Meter, "timeout_ms");
    int sendLimit = DefaultOf<int>(KeyTable::Meter, "send_limit");
    std::uint8_t confirm = Q31_CONFIRM_AUTO;  // when read packets are confirmed
    // q31_series values, in the order they are read.
    std::vector<int> series;
    // Modules asked for (1..6); empty: every module the meter reports.
    std::vector<int> modules;
    bool logs = DefaultOf<bool>(KeyTable::Meter, "logs");
    int currentEveryMin = DefaultOf<int>(KeyTable::Meter, "current_every_min");  // current values and totals; 0: never
    // Archive records and log heads, when not --once; a fraction of a minute
    // suits a meter whose clock runs fast (a virtual one).
    double archiveEveryMin = DefaultOf<double>(KeyTable::Meter, "archive_every_min");
    // What the raw registers mean, by series letter: [quantity.X] with the
    // meter's own [meter.quantity.X] over it. A letter without one goes out raw.
    QuantityMap quantities;

    bool Virtual() const { return port.rfind("sim:", 0) == 0; }
    SimSettings sim;
    // A sim: port: the meters on its virtual line, in the file's order: the
    // first entry that names the port, and every further one with a sim
    // table of its own (one without is an address nobody answers).
    std::vector<SimLineMeter> simLine;
};

// The sinks' and the status page's settings live with them.
using forward::HttpSettings;
using forward::MqttSinkSettings;
using forward::PostgresSinkSettings;

struct CollectConfig {
    std::string db;  // may be empty: then --db names it
    std::vector<MeterSettings> meters;
    int retries = DefaultOf<int>(KeyTable::Collect, "retries");
    int retryBaseMs = DefaultOf<int>(KeyTable::Collect, "retry_base_ms");
    int retryMaxMs = DefaultOf<int>(KeyTable::Collect, "retry_max_ms");
    std::uint8_t confirm = Q31_CONFIRM_AUTO;  // of every meter that does not choose its own
    // This gateway's name in the rows and messages it ships (default: the host name).
    std::string gateway;
    PostgresSinkSettings postgres;
    MqttSinkSettings mqtt;
    HttpSettings http;
    ModemSettings modems;
};

// Reads and checks `path`. Throws ToolError (kExitBadArgument) that names the
// file, the meter and the key at fault.
CollectConfig LoadCollectConfig(const std::string& path);

// The lines the meters are on: their distinct ports.
std::size_t LineCount(const CollectConfig& config);

}  // namespace q31::tool::collect
