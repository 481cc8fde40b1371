#include "sim/SimOptions.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace q31::sim {

namespace {

bool ParseUnsigned(std::string_view text, std::uint64_t max, std::uint64_t& out) {
    if (text.empty() || text.front() == '-' || text.front() == '+' || text.front() == ' ') return false;
    const std::string s(text);
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || end == s.c_str() || *end != '\0' || v > max) return false;
    out = v;
    return true;
}

bool ParseProbability(std::string_view text, double& out) {
    if (text.empty()) return false;
    const std::string s(text);
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0' || !(v >= 0.0 && v <= 1.0)) return false;
    out = v;
    return true;
}

// KIND:P or KIND:P:PARAM
bool ParseFaultRate(std::string_view text, FaultRateOption& out) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    const auto kind = ParseFaultKind(text.substr(0, colon));
    if (!kind) return false;
    std::string_view rest = text.substr(colon + 1);
    std::uint64_t param = 0;
    const auto colon2 = rest.find(':');
    if (colon2 != std::string_view::npos) {
        if (!ParseUnsigned(rest.substr(colon2 + 1), 600000, param)) return false;
        rest = rest.substr(0, colon2);
    }
    double p = 0;
    if (!ParseProbability(rest, p)) return false;
    // A delay fault with no length would not delay anything.
    if (*kind == FaultKind::Delay && param == 0) param = 1000;
    out = {*kind, p, static_cast<int>(param)};
    return true;
}

// N, N:M or N:M:K, each a number up to `max`.
bool ParseFields(std::string_view text, std::size_t least, std::size_t most, std::vector<std::uint64_t>& out) {
    out.clear();
    for (;;) {
        const auto colon = text.find(':');
        std::uint64_t v = 0;
        if (!ParseUnsigned(text.substr(0, colon), UINT32_MAX, v)) return false;
        out.push_back(v);
        if (colon == std::string_view::npos) break;
        text = text.substr(colon + 1);
    }
    return out.size() >= least && out.size() <= most;
}

bool ValidAddress(std::uint64_t a) { return a >= 1 && a <= 254; }

}  // namespace

bool ParseFaultRateOption(std::string_view text, FaultRateOption& out) { return ParseFaultRate(text, out); }

bool ParseSimOptions(int argc, const char* const* argv, SimOptions& options, std::string& error) {
    int delayMs = -1;
    std::uint64_t baud = 0;
    Parity parity = Parity::None;
    unsigned stopBits = 1;
    bool frameGiven = false;  // --parity or --stop-bits
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string_view& out) {
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto number = [&](std::uint64_t max, std::uint64_t& out) {
            std::string_view v;
            if (!value(v)) return false;
            if (!ParseUnsigned(v, max, out)) {
                error = "bad value for " + std::string(arg) + ": " + std::string(v);
                return false;
            }
            return true;
        };
        std::uint64_t n = 0;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--seed") {
            if (!number(UINT64_MAX, n)) return false;
            options.meter.seed = n;
        } else if (arg == "--serial") {
            if (!number(UINT32_MAX, n)) return false;
            options.meter.serialNumber = static_cast<std::uint32_t>(n);
        } else if (arg == "--version-word") {
            if (!number(0xFFFF, n)) return false;
            options.meter.versionWord = static_cast<std::uint16_t>(n);
        } else if (arg == "--address") {
            if (!number(254, n)) return false;
            if (n == 0) {
                error = "--address must be 1 to 254";
                return false;
            }
            options.meter.address = static_cast<std::uint8_t>(n);
        } else if (arg == "--modules") {
            if (!number(255, n)) return false;
            options.meter.moduleCount = static_cast<std::uint8_t>(n);
        } else if (arg == "--hour-count") {
            if (!number(UINT32_MAX, n)) return false;
            options.meter.hourCount = static_cast<std::uint32_t>(n);
        } else if (arg == "--day-count") {
            if (!number(UINT32_MAX, n)) return false;
            options.meter.dayCount = static_cast<std::uint32_t>(n);
        } else if (arg == "--archive-first-word") {
            if (!number(UINT32_MAX, n)) return false;
            options.meter.archiveFirstWord = static_cast<std::uint32_t>(n);
        } else if (arg == "--echo") {
            options.line.echo = true;
        } else if (arg == "--delay-ms") {
            if (!number(600000, n)) return false;
            delayMs = static_cast<int>(n);
        } else if (arg == "--baud") {
            if (!number(4000000, n)) return false;
            if (n == 0) {
                error = "--baud must be 1 to 4000000";
                return false;
            }
            baud = n;
        } else if (arg == "--parity") {
            std::string_view v;
            if (!value(v)) return false;
            if (v == "none") {
                parity = Parity::None;
            } else if (v == "even") {
                parity = Parity::Even;
            } else if (v == "odd") {
                parity = Parity::Odd;
            } else {
                error = "bad value for --parity: " + std::string(v) + " (none, even or odd)";
                return false;
            }
            frameGiven = true;
        } else if (arg == "--stop-bits") {
            if (!number(2, n)) return false;
            if (n == 0) {
                error = "--stop-bits must be 1 or 2";
                return false;
            }
            stopBits = static_cast<unsigned>(n);
            frameGiven = true;
        } else if (arg == "--fault-rate") {
            std::string_view v;
            if (!value(v)) return false;
            FaultRateOption rate{};
            if (!ParseFaultRate(v, rate)) {
                error = "bad --fault-rate: " + std::string(v) + " (KIND:P[:PARAM])";
                return false;
            }
            options.faultRates.push_back(rate);
        } else if (arg == "--meter" || arg == "--swap" || arg == "--reset") {
            std::string_view v;
            if (!value(v)) return false;
            std::vector<std::uint64_t> f;
            if (arg == "--meter") {
                if (!ParseFields(v, 2, 3, f) || !ValidAddress(f[0])) {
                    error = "bad --meter: " + std::string(v) + " (ADDRESS:SERIAL[:SEED], address 1..254)";
                    return false;
                }
                BusMeterOption m;
                m.address = static_cast<std::uint8_t>(f[0]);
                m.serial = static_cast<std::uint32_t>(f[1]);
                if (f.size() > 2) m.seed = f[2];
                options.busMeters.push_back(m);
            } else if (arg == "--swap") {
                if (!ParseFields(v, 3, 3, f) || !ValidAddress(f[1])) {
                    error = "bad --swap: " + std::string(v) + " (AT_SECONDS:ADDRESS:NEW_SERIAL)";
                    return false;
                }
                BusEvent e;
                e.kind = BusEvent::Kind::Swap;
                e.at = static_cast<double>(f[0]);
                e.address = static_cast<std::uint8_t>(f[1]);
                e.serial = static_cast<std::uint32_t>(f[2]);
                options.events.push_back(e);
            } else {
                if (!ParseFields(v, 3, 4, f) || !ValidAddress(f[1])) {
                    error = "bad --reset: " + std::string(v) + " (AT_SECONDS:ADDRESS:HOURLY[:DAILY])";
                    return false;
                }
                BusEvent e;
                e.kind = BusEvent::Kind::Reset;
                e.at = static_cast<double>(f[0]);
                e.address = static_cast<std::uint8_t>(f[1]);
                e.hourCount = static_cast<std::uint32_t>(f[2]);
                // A day closes every 24 hours.
                e.dayCount = static_cast<std::uint32_t>(f.size() > 3 ? f[3] : f[2] / 24);
                options.events.push_back(e);
            }
        } else if (arg == "--bus") {
            std::string_view v;
            if (!value(v)) return false;
            options.busFile = std::string(v);
        } else if (arg == "--clock-rate") {
            std::string_view v;
            if (!value(v)) return false;
            const std::string text(v);
            char* end = nullptr;
            const double rate = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !(rate >= 0 && rate <= 1e7)) {
                error = "bad value for --clock-rate: " + text;
                return false;
            }
            options.clockRate = rate;
        } else if (arg == "--write-during-reads") {
            if (!number(1000, n)) return false;
            options.writeDuringReads = static_cast<int>(n);
        } else if (arg == "--history-out") {
            std::string_view v;
            if (!value(v)) return false;
            options.historyOut = std::string(v);
        } else if (arg == "--listen" || arg == "--dial" || arg == "--register" || arg == "--heartbeat") {
            std::string_view v;
            if (!value(v)) return false;
            if (v.empty()) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            if (arg == "--listen") options.listen.emplace_back(v);
            else if (arg == "--dial") options.dial = std::string(v);
            else if (arg == "--register") options.registerId = std::string(v);
            else options.heartbeat = std::string(v);
        } else if (arg == "--every") {
            std::string_view v;
            if (!value(v)) return false;
            const std::string text(v);
            char* end = nullptr;
            const double seconds = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !(seconds >= 0.01 && seconds <= 86400)) {
                error = "bad value for --every: " + text + " (seconds, 0.01 to 86400)";
                return false;
            }
            options.heartbeatEveryMs = static_cast<int>(seconds * 1000 + 0.5);
        } else if (arg == "--seconds") {
            if (!number(86400 * 365, n)) return false;
            options.seconds = static_cast<int>(n);
        } else if (arg == "--verbose" || arg == "-v") {
            options.verbose = true;
        } else {
            error = "unknown argument: " + std::string(arg);
            return false;
        }
    }
    if (delayMs >= 0) options.line.replyDelayMs = delayMs;
    // A byte frame without a speed would pace nothing: surely a mistake.
    if (frameGiven && baud == 0) {
        error = "--parity and --stop-bits need --baud";
        return false;
    }
    if (!options.dial.empty() && options.registerId.empty()) {
        error = "--dial needs --register ID";
        return false;
    }
    if (!options.dial.empty() && !options.listen.empty()) {
        error = "--dial and --listen exclude each other";
        return false;
    }
    if (options.dial.empty() && (!options.registerId.empty() || !options.heartbeat.empty())) {
        error = "--register and --heartbeat need --dial";
        return false;
    }
    if (baud > 0) options.line.wire = WireTiming(static_cast<std::uint32_t>(baud), parity, stopBits);
    return true;
}

std::string SimUsage() {
    return "usage: q31-sim [options]\n"
           "A virtual Q31M V2.X meter (device type 0x1400) on a pseudo-terminal.\n"
           "Prints the line to open (e.g. /dev/pts/5) as the first line on stdout,\n"
           "then serves until stdin ends (or for --seconds N).\n"
           "\n"
           "  --seed N            memory content and fault draws (default 31)\n"
           "  --serial N          serial number (default 310001)\n"
           "  --version-word N    identification version word (default 0x00F0)\n"
           "  --address N         meter address 1..254 (default 201)\n"
           "  --modules N         module count in the module block (default 6)\n"
           "  --hour-count N      hourly archive records written (default 2000)\n"
           "  --day-count N       daily archive records written (default 600)\n"
           "  --archive-first-word N  first word of the archive counters (default 1)\n"
           "  --echo              the line echoes every byte the master sends\n"
           "  --delay-ms N        every reply waits N ms\n"
           "  --baud N            pace the line at N baud: requests are heard, and\n"
           "                      echo and replies sent, no faster than the wire\n"
           "                      carries them (default: not paced, bytes pass at once)\n"
           "  --parity P          with --baud: none (default), even or odd\n"
           "  --stop-bits N       with --baud: 1 (default) or 2\n"
           "  --fault-rate K:P[:X] fault K on each request with probability P;\n"
           "                      K = silence, bad-checksum, wrong-address,\n"
           "                      short (X: bytes kept, default half),\n"
           "                      corrupt (X: bytes hit, default 1),\n"
           "                      delay (X: ms, default 1000),\n"
           "                      blind-corrupt (two payload bytes swapped,\n"
           "                      unseen by the checksum),\n"
           "                      drop (X bytes go out, default half, then a\n"
           "                      socket line's connection ends); repeatable\n"
           "\n"
           "A bus: several meters on the one line; only the addressed meter answers.\n"
           "  --meter A:S[:SEED]  a meter at address A with serial number S (and its\n"
           "                      own seed); repeatable; the options above make the rest\n"
           "  --bus FILE          meters, clock, swaps and resets from a TOML file\n"
           "A meter that lives: hourly and daily records, log entries now and then.\n"
           "  --clock-rate R      simulated seconds per real second (default 0: frozen)\n"
           "  --write-during-reads N  before every Nth archive-read packet that follows\n"
           "                      another, the meter writes an hourly record\n"
           "  --swap T:A:S        at simulated second T, meter A is replaced by one\n"
           "                      with serial number S (fresh content)\n"
           "  --reset T:A:H[:D]   at simulated second T, meter A's archive restarts\n"
           "                      with H hourly and D (default H/24) daily records\n"
           "  --history-out FILE  every record and log entry written, one JSON line\n"
           "                      each, as it is written\n"
           "\n"
           "Remote lines, in place of the pseudo-terminal:\n"
           "  --listen HOST:PORT  serve the bus on a TCP socket, as a serial device\n"
           "                      server does (port 0: any free one); repeatable: each\n"
           "                      listener serves a bus of its own, the Kth (from 0)\n"
           "                      with serial numbers and seeds raised by 1000*K;\n"
           "                      prints tcp://HOST:PORT per listener\n"
           "  --dial HOST:PORT    call out as a modem: connect, send --register ID and\n"
           "                      a line feed, serve the bus; call again when dropped\n"
           "  --register ID       the modem's registration\n"
           "  --heartbeat TEXT    sent every --every S seconds (default 60) while\n"
           "                      the call lasts\n"
           "\n"
           "  --seconds N         serve N seconds, ignoring stdin\n"
           "  --verbose, -v       log each request and reply on stderr\n"
           "  --help, -h          this text\n";
}

bool MakeBusPlan(const SimOptions& options, BusPlan& plan, bool& lineEcho, std::string& error) {
    plan = BusPlan{};
    lineEcho = false;
    if (!options.busFile.empty() && !LoadBusFile(options.busFile, options.meter, plan, lineEcho, error)) return false;
    for (const BusMeterOption& given : options.busMeters) {
        BusMeterPlan m{options.meter, options.faultRates, false};
        m.meter.address = given.address;
        m.meter.serialNumber = given.serial;
        m.meter.seed = given.seed.value_or(options.meter.seed + given.address);
        plan.meters.push_back(m);
    }
    if (plan.meters.empty()) plan.meters.push_back({options.meter, options.faultRates, false});
    if (options.clockRate) plan.clockRate = *options.clockRate;
    if (options.writeDuringReads) plan.writeDuringReads = *options.writeDuringReads;
    plan.events.insert(plan.events.end(), options.events.begin(), options.events.end());
    return true;
}

}  // namespace q31::sim
