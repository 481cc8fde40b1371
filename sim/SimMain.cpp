// q31-sim: a virtual meter on a pseudo-terminal, for the operator tool and for
// trying the plug-in by hand.
//
// stdout carries exactly one line, the slave path, flushed at once so a
// parent process can read it and open the line. Everything else goes to stderr.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <thread>

#include "sim/PtyMeter.h"
#include "sim/SimOptions.h"

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
    PtyMeterOptions line = options.line;
    line.echo = line.echo || lineEcho;
    PtyMeter meter(line, plan);
    std::ofstream history;
    if (!options.historyOut.empty()) {
        history.open(options.historyOut, std::ios::out | std::ios::trunc);
        if (!history) {
            std::cerr << "q31-sim: cannot write " << options.historyOut << "\n";
            return 1;
        }
        // Flushed line by line: the file is whole up to the last write
        // however the program ends.
        meter.WithBus([&](SimBus& bus) {
            bus.History().SetSink([&](const HistoryEntry& e) { history << MeterHistory::JsonLine(e) << std::endl; });
        });
    }
    if (options.verbose) {
        meter.SetObserver([](std::span<const std::uint8_t> request, const MeterReply& reply) {
            // Appended piece by piece: g++ 12 at -O3 takes `"#" + std::string&&`
            // for an overlapping copy (-Wrestrict) and -Werror stops the build.
            std::string line = "#";
            line += std::to_string(reply.requestNumber);
            line += " <- " + Hex(request) + "\n";
            line += "   -> " + (reply.bytes.empty() ? std::string("(nothing)") : Hex(reply.bytes));
            for (const Fault& f : reply.faults) line += std::string(" [") + FaultKindName(f.kind) + "]";
            if (reply.delayMs > 0) line += " after " + std::to_string(reply.delayMs) + " ms";
            std::cerr << line << std::endl;
        });
    }
    if (!meter.Start()) {
        std::cerr << "q31-sim: cannot open a pseudo-terminal\n";
        return 1;
    }
    std::cout << meter.SlavePath() << std::endl;

    if (options.seconds > 0) {
        std::this_thread::sleep_for(std::chrono::seconds(options.seconds));
    } else {
        while (std::getchar() != EOF) {
        }
    }
    meter.Stop();
    meter.WithBus([](SimBus& bus) { bus.History().SetSink(nullptr); });
    if (options.verbose) std::cerr << "q31-sim: " << meter.RequestCount() << " requests served\n";
    return 0;
}
