// What `q31 collect` reads, from which meters, and how often: the TOML file
// the operator writes, checked and with every default filled in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "publicQ31.h"
#include "support/HostPort.h"

namespace q31::tool::collect {

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
    std::uint8_t modules = 2;
    std::uint32_t hourCount = 300;
    std::uint32_t dayCount = 120;
    std::uint16_t versionWord = 0x00F0;
    int replyDelayMs = 0;
    std::vector<SimFault> faults;
    // Simulated seconds per real second: the meter writes its hourly and
    // daily records as it runs (0: its memory stays as made). The line takes
    // its first meter's.
    double clockRate = 0;
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
    bool echo = false;
    std::uint32_t serial = 0;
    std::uint8_t address = Q31_DEFAULT_ADDRESS;
    int timeoutMs = Q31_DEFAULT_TIMEOUT_MS;
    int sendLimit = Q31_DEFAULT_SEND_LIMIT;
    std::uint8_t confirm = Q31_CONFIRM_AUTO;  // when read packets are confirmed
    // q31_series values, in the order they are read.
    std::vector<int> series;
    // Modules asked for (1..6); empty: every module the meter reports.
    std::vector<int> modules;
    bool logs = true;
    int currentEveryMin = 15;  // current values and totals; 0: never
    // Archive records and log heads, when not --once; a fraction of a minute
    // suits a meter whose clock runs fast (a virtual one).
    double archiveEveryMin = 60;

    bool Virtual() const { return port.rfind("sim:", 0) == 0; }
    SimSettings sim;
    // A sim: port: the meters on its virtual line, in the file's order: the
    // first entry that names the port, and every further one with a sim
    // table of its own (one without is an address nobody answers).
    std::vector<SimLineMeter> simLine;
};

// [sink.postgres]: the journal shipped to a PostgreSQL database that many
// gateways share.
struct PostgresSinkSettings {
    bool enabled = false;
    std::string url;           // postgresql://user@host:port/db (a password in it is allowed but warned of)
    std::string passwordFile;  // the password, read when connecting
    int batchRows = 5000;      // archive values per transaction, about
};

// [sink.mqtt]: one message per stored batch, for dashboards and automation.
struct MqttSinkSettings {
    bool enabled = false;
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string prefix = "q31";  // topics: PREFIX/GATEWAY/METER/KIND
    std::string clientId;        // default: q31-GATEWAY; the broker keeps its session
    std::string username;
    std::string passwordFile;
    std::string caFile;  // TLS when given
    std::string certFile;
    std::string keyFile;
    int keepaliveS = 30;
};

// [http]: /metrics for Prometheus and a status page.
struct HttpSettings {
    bool enabled = false;
    std::string listen = "127.0.0.1:9731";
};

struct CollectConfig {
    std::string db;  // may be empty: then --db names it
    std::vector<MeterSettings> meters;
    int retries = 3;                          // further attempts on a failed meter within one pass
    int retryBaseMs = 2000;                   // first back-off; doubled for each further failure
    int retryMaxMs = 300000;                  // back-off ceiling
    std::uint8_t confirm = Q31_CONFIRM_AUTO;  // of every meter that does not choose its own
    // This gateway's name in the rows and messages it ships (default: the host name).
    std::string gateway;
    PostgresSinkSettings postgres;
    MqttSinkSettings mqtt;
    HttpSettings http;
};

// Reads and checks `path`. Throws ToolError (kExitBadArgument) that names the
// file, the meter and the key at fault.
CollectConfig LoadCollectConfig(const std::string& path);

// The lines the meters are on: their distinct ports.
std::size_t LineCount(const CollectConfig& config);

}  // namespace q31::tool::collect
