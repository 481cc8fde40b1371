// q31-read: the operator tool. It loads the plug-in as a host does, opens the
// serial port, hands over the slot record and runs requests against the
// meter. Without --port it starts the virtual meter on a pseudo-terminal.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/HostPort.h"
#include "sim/PtyMeter.h"
#include "tools/q31read/ReadCommands.h"

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: q31-read [options] [command [args]]\n"
                 "options:\n"
                 "  --port PATH       serial device of the meter (default: start the virtual meter)\n"
                 "  --baud N          line speed (default 9600)\n"
                 "  --echo            the line echoes every byte sent\n"
                 "  --timeout MS      reply time-out handed to the plug-in (default 2000)\n"
                 "  --wait MS         how long to wait for one result (default 10000)\n"
                 "  --library PATH    the plug-in (default: libpublicQ31.so beside this program)\n"
                 "  --serial N        serial number of the virtual meter\n"
                 "commands:\n%s",
                 q31::tool::CommandHelp().c_str());
}

std::string BesideProgram(const char* argv0, const char* file) {
    std::string dir = argv0;
    const auto slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : dir.substr(0, slash);
    return dir + "/" + file;
}

}  // namespace

int main(int argc, char** argv) {
    std::string port, library = BesideProgram(argv[0], "libpublicQ31.so");
    int baud = 9600, timeoutMs = 2000, waitMs = 10000;
    bool echo = false;
    long serial = -1;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--port") port = value("--port");
        else if (a == "--baud") baud = std::atoi(value("--baud"));
        else if (a == "--echo") echo = true;
        else if (a == "--timeout") timeoutMs = std::atoi(value("--timeout"));
        else if (a == "--wait") waitMs = std::atoi(value("--wait"));
        else if (a == "--library") library = value("--library");
        else if (a == "--serial") serial = std::strtol(value("--serial"), nullptr, 0);
        else if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else if (a.rfind("--", 0) == 0) {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            Usage();
            return 2;
        } else {
            words.push_back(a);
        }
    }
    if (timeoutMs <= 0 || waitMs <= 0) {
        std::fprintf(stderr, "--timeout and --wait take a positive number of milliseconds\n");
        return 2;
    }

    q31::tool::PluginApi api;
    std::string error;
    if (!api.Load(library, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    std::unique_ptr<q31::sim::PtyMeter> meter;
    if (port.empty()) {
        q31::sim::MeterConfig config;
        if (serial >= 0) config.serialNumber = static_cast<std::uint32_t>(serial);
        q31::sim::PtyMeterOptions options;
        options.echo = echo;
        meter = std::make_unique<q31::sim::PtyMeter>(config, options);
        if (!meter->Start()) {
            std::fprintf(stderr, "cannot start the virtual meter: no pseudo-terminal\n");
            return 1;
        }
        port = meter->SlavePath();
        std::printf("virtual meter on %s\n", port.c_str());
    }

    const q31::PortHandle handle = q31::OpenHostPort(port.c_str(), baud);
    if (!q31::PortUsable(handle)) {
        std::fprintf(stderr, "cannot open %s at %d baud\n", port.c_str(), baud);
        return 1;
    }

    TQ31Slot slot{};
    slot.Handle = handle;
    slot.EchoFlag = echo ? 0 : 1;
    slot.TimeOut = timeoutMs;
    q31::tool::FillCallbacks(slot);
    api.InitSlot(&slot);

    q31::tool::Session session;
    session.api = &api;
    session.waitMs = waitMs;
    const std::string command = words.empty() ? "id" : words[0];
    const std::vector<std::string> args(words.size() > 1 ? words.begin() + 1 : words.end(), words.end());
    const int rc = q31::tool::RunCommand(session, command, args);
    q31::CloseHostPort(handle);
    if (meter) meter->Stop();
    return rc;
}
