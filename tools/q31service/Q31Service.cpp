// q31-service: the service engineer's tool for the meter's measurement and
// calibration commands. It drives the heat-meter component directly (not the
// plug-in, which does not offer these commands) on a serial port, or on the
// virtual meter started on a pseudo-terminal when no port is given.
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "platform/HostPort.h"
#include "sim/PtyMeter.h"
#include "tools/q31service/ServiceCommands.h"
#include "tools/q31service/ServiceLink.h"

namespace {

void Usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: q31-service [options] command [args] [command [args] ...]\n"
                 "Runs the meter's measurement and calibration commands in the order given and\n"
                 "prints each reply. Without --port it starts the virtual meter on a\n"
                 "pseudo-terminal; its state lasts only for this run, so give the commands of\n"
                 "one session together, e.g.  analog-start 1 analog-read 0 16 analog-end\n"
                 "options:\n"
                 "  --port PATH       serial device of the meter (default: the virtual meter)\n"
                 "  --baud N          line speed (default 9600)\n"
                 "  --address N       the meter's address on the line, 1..238 (default 201)\n"
                 "  --echo            the line echoes every byte sent (two-wire line)\n"
                 "  --timeout MS      reply time-out of each packet (default 2000); a packet not\n"
                 "                    answered in time ends the run, it is not sent again\n"
                 "  --help            this text\n"
                 "Numbers are decimal or 0x hex.\n"
                 "commands:\n%s",
                 q31::tool::ServiceCommandHelp().c_str());
}

bool ParseOption(const char* text, long long min, long long max, long long& out) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 0);
    if (!*text || *end || errno || v < min || v > max) return false;
    out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string port;
    long long baud = 9600, address = 201, timeoutMs = 2000;
    bool echo = false;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](const char* name, long long min, long long max, long long& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "q31-service: %s needs a value\n", name);
                std::exit(2);
            }
            if (!ParseOption(argv[++i], min, max, out)) {
                std::fprintf(stderr, "q31-service: %s takes a number from %lld to %lld, not '%s'\n", name, min, max,
                             argv[i]);
                std::exit(2);
            }
        };
        if (a == "--port") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "q31-service: --port needs a value\n");
                return 2;
            }
            port = argv[++i];
        } else if (a == "--baud") {
            number("--baud", 1, 4000000, baud);
        } else if (a == "--address") {
            number("--address", 1, 238, address);
        } else if (a == "--timeout") {
            number("--timeout", 1, 600000, timeoutMs);
        } else if (a == "--echo") {
            echo = true;
        } else if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a.size() > 2 && a.rfind("--", 0) == 0) {
            std::fprintf(stderr, "q31-service: unknown option %s (see --help)\n", a.c_str());
            return 2;
        } else {
            words.push_back(a);
        }
    }

    std::vector<q31::tool::ServiceCommand> commands;
    std::string error;
    if (!q31::tool::ParseServiceCommands(words, commands, error)) {
        std::fprintf(stderr, "q31-service: %s\n", error.c_str());
        return 2;
    }

    std::unique_ptr<q31::sim::PtyMeter> meter;
    if (port.empty()) {
        q31::sim::MeterConfig config;
        config.address = static_cast<std::uint8_t>(address);
        q31::sim::PtyMeterOptions options;
        options.echo = echo;
        meter = std::make_unique<q31::sim::PtyMeter>(config, options);
        if (!meter->Start()) {
            std::fprintf(stderr, "q31-service: cannot start the virtual meter: no pseudo-terminal\n");
            return 1;
        }
        port = meter->SlavePath();
        std::printf("virtual meter on %s\n", port.c_str());
    }

    const q31::PortHandle handle = q31::OpenHostPort(port.c_str(), static_cast<int>(baud));
    if (!q31::PortUsable(handle)) {
        std::fprintf(stderr, "q31-service: cannot open %s at %lld baud\n", port.c_str(), baud);
        return 1;
    }

    int rc = 0;
    {
        q31::tool::ServiceLinkOptions options;
        options.echo = echo;
        options.timeoutMs = static_cast<int>(timeoutMs);
        options.address = static_cast<std::uint8_t>(address);
        q31::tool::ServiceLink link(handle, options);
        rc = q31::tool::RunServiceCommands(link, commands);
    }
    q31::CloseHostPort(handle);
    if (meter) meter->Stop();
    return rc;
}
