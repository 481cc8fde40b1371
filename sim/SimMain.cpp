// q31-sim: a virtual meter on a pseudo-terminal (or on sockets, or behind a
// modem that calls in), for the operator tool and for trying the plug-in by
// hand.
//
// stdout carries exactly one line per line served (the slave path, or the
// listener's tcp://HOST:PORT), flushed at once so a parent process can read
// it and open the line. Everything else goes to stderr.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/ModemLine.h"
#include "sim/PtyMeter.h"
#include "sim/SimOptions.h"
#include "sim/SocketLine.h"
#include "support/TcpSocket.h"

namespace {

using namespace q31::sim;

std::string Hex(std::span<const std::uint8_t> bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// The Kth listener's bus: serial numbers and seeds apart from every other
// listener's, so that a fleet in one process has no two meters alike.
BusPlan ListenerPlan(BusPlan plan, std::size_t k) {
    for (BusMeterPlan& m : plan.meters) {
        m.meter.serialNumber += static_cast<std::uint32_t>(1000 * k);
        m.meter.seed += 1000 * k;
    }
    return plan;
}

// The lines the options ask for, one meter (bus) each; an error message
// when one cannot be made.
std::vector<std::unique_ptr<PtyMeter>> MakeMeters(const SimOptions& options, const PtyMeterOptions& line,
                                                  const BusPlan& plan, std::string& error) {
    std::vector<std::unique_ptr<PtyMeter>> meters;
    if (!options.dial.empty()) {
        ModemOptions modem;
        if (!q31::SplitHostPort(options.dial, modem.host, modem.port) || modem.port == 0) {
            error = "bad --dial: " + options.dial + " (HOST:PORT)";
            return {};
        }
        modem.id = options.registerId;
        modem.heartbeat = options.heartbeat;
        modem.everyMs = options.heartbeatEveryMs;
        meters.push_back(std::make_unique<PtyMeter>(line, plan, std::make_unique<ModemLine>(modem)));
        return meters;
    }
    for (std::size_t k = 0; k < options.listen.size(); ++k) {
        std::string host;
        int port = 0;
        if (!q31::SplitHostPort(options.listen[k], host, port)) {
            error = "bad --listen: " + options.listen[k] + " (HOST:PORT)";
            return {};
        }
        meters.push_back(
            std::make_unique<PtyMeter>(line, ListenerPlan(plan, k), std::make_unique<SocketLine>(host, port)));
    }
    if (meters.empty()) meters.push_back(std::make_unique<PtyMeter>(line, plan));
    return meters;
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    std::string error;
    if (!ParseSimOptions(argc, argv, options, error)) {
        std::cerr << "q31-sim: " << error << "\n\n" << SimUsage();
        return 2;
    }
    if (options.help) {
        std::cout << SimUsage();
        return 0;
    }
    BusPlan plan;
    bool lineEcho = false;
    if (!MakeBusPlan(options, plan, lineEcho, error)) {
        std::cerr << "q31-sim: " << error << "\n";
        return 2;
    }
    // A client that goes away mid-reply must end its connection, not the program.
    q31::IgnoreBrokenPipes();
    PtyMeterOptions line = options.line;
    line.echo = line.echo || lineEcho;
    std::vector<std::unique_ptr<PtyMeter>> meters = MakeMeters(options, line, plan, error);
    if (meters.empty()) {
        std::cerr << "q31-sim: " << error << "\n";
        return 2;
    }
    std::ofstream history;
    std::mutex outMutex;  // the lines' threads share the history file and stderr
    if (!options.historyOut.empty()) {
        history.open(options.historyOut, std::ios::out | std::ios::trunc);
        if (!history) {
            std::cerr << "q31-sim: cannot write " << options.historyOut << "\n";
            return 1;
        }
        // Flushed line by line: the file is whole up to the last write
        // however the program ends.
        for (auto& meter : meters)
            meter->WithBus([&](SimBus& bus) {
                bus.History().SetSink([&](const HistoryEntry& e) {
                    std::lock_guard<std::mutex> lock(outMutex);
                    history << MeterHistory::JsonLine(e) << std::endl;
                });
            });
    }
    if (options.verbose) {
        for (auto& meter : meters)
            meter->SetObserver([&](std::span<const std::uint8_t> request, const MeterReply& reply) {
                // Appended piece by piece: g++ 12 at -O3 takes `"#" + std::string&&`
                // for an overlapping copy (-Wrestrict) and -Werror stops the build.
                std::string text = "#";
                text += std::to_string(reply.requestNumber);
                text += " <- " + Hex(request) + "\n";
                text += "   -> " + (reply.bytes.empty() ? std::string("(nothing)") : Hex(reply.bytes));
                for (const Fault& f : reply.faults) text += std::string(" [") + FaultKindName(f.kind) + "]";
                if (reply.delayMs > 0) text += " after " + std::to_string(reply.delayMs) + " ms";
                std::lock_guard<std::mutex> lock(outMutex);
                std::cerr << text << std::endl;
            });
    }
    for (auto& meter : meters) {
        if (!meter->Start()) {
            std::cerr << "q31-sim: cannot open " << (options.listen.empty() ? "a pseudo-terminal" : "a listener")
                      << "\n";
            return 1;
        }
        std::cout << meter->SlavePath() << "\n";
    }
    std::cout << std::flush;

    if (options.seconds > 0) {
        std::this_thread::sleep_for(std::chrono::seconds(options.seconds));
    } else {
        while (std::getchar() != EOF) {
        }
    }
    std::uint64_t served = 0;
    for (auto& meter : meters) {
        meter->Stop();
        meter->WithBus([](SimBus& bus) { bus.History().SetSink(nullptr); });
        served += meter->RequestCount();
    }
    if (options.verbose) std::cerr << "q31-sim: " << served << " requests served\n";
    return 0;
}
