#include "tools/q31/cli/ServiceCommands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace q31::tool {

struct ServiceArgument {
    const char* name;
    long long min;
    long long max;
};

struct ServiceCommandEntry {
    const char* name;
    int argumentCount;
    ServiceArgument arguments[2];
    ServiceReply reply;
    int packets;            // exchanges the command makes
    std::uint32_t command;  // Q31_SERVICE_...
    const char* help;
};

namespace {

constexpr ServiceArgument kValue{"VALUE", 0, 255};
constexpr ServiceArgument kAddress{"ADDR", 0, 0xFFFF};
// A reply carries at most 252 bytes.
constexpr ServiceArgument kCount{"COUNT", 1, 252};
constexpr ServiceArgument kNone{nullptr, 0, 0};

constexpr ServiceCommandEntry kCommands[] = {
    {"save",
     1,
     {kValue, kNone},
     ServiceReply::Acknowledgement,
     1,
     Q31_SERVICE_SAVE,
     "save VALUE               the meter saves its data (0x80)"},
    {"analog-start",
     1,
     {kValue, kNone},
     ServiceReply::Acknowledgement,
     1,
     Q31_SERVICE_ANALOG_START,
     "analog-start VALUE       start an analog (ADC) measurement (0x81)"},
    {"analog-read",
     2,
     {kAddress, kCount},
     ServiceReply::Data,
     1,
     Q31_SERVICE_ANALOG_READ,
     "analog-read ADDR COUNT   read COUNT bytes (1..252) of measurement data at ADDR (0x82)"},
    {"analog-end",
     0,
     {kNone, kNone},
     ServiceReply::Acknowledgement,
     1,
     Q31_SERVICE_ANALOG_END,
     "analog-end               end the analog measurement (0x83)"},
    {"flow",
     1,
     {kValue, kNone},
     ServiceReply::Acknowledgement,
     1,
     Q31_SERVICE_FLOW,
     "flow VALUE               start the flow calculation (0x84)"},
    {"term",
     0,
     {kNone, kNone},
     ServiceReply::Acknowledgement,
     1,
     Q31_SERVICE_TERM,
     "term                     start the term (heat) calculation (0x85)"},
    {"press",
     0,
     {kNone, kNone},
     ServiceReply::Data,
     1,
     Q31_SERVICE_PRESS,
     "press                    read the pressure ADC data (0x86)"},
    {"adc",
     0,
     {kNone, kNone},
     ServiceReply::ADCValues,
     4,
     Q31_SERVICE_ADC,
     "adc                      term calculation, then the sixteen ADC values from RAM"},
};

const ServiceCommandEntry* Find(const std::string& name) {
    for (const ServiceCommandEntry& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

bool ParseArgument(const std::string& text, const ServiceArgument& a, long long& out) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end || errno || v < a.min || v > a.max) return false;
    out = v;
    return true;
}

// The command as typed, with its arguments, to head its output.
std::string Title(const ServiceCommand& c) {
    std::string title = c.entry->name;
    char number[32];
    for (int i = 0; i < c.entry->argumentCount; ++i) {
        const bool address = c.entry->arguments[i].max > 0xFF;
        std::snprintf(number, sizeof number, address ? " 0x%04llX" : " %lld", c.args[i]);
        title += number;
    }
    return title;
}

}  // namespace

bool ParseServiceCommands(const std::vector<std::string>& words, std::vector<ServiceCommand>& out, std::string& error) {
    out.clear();
    for (std::size_t i = 0; i < words.size();) {
        ServiceCommand command;
        command.entry = Find(words[i]);
        if (!command.entry) {
            error = "unknown command '" + words[i] + "' (see --help)";
            return false;
        }
        ++i;
        for (int k = 0; k < command.entry->argumentCount; ++k, ++i) {
            const ServiceArgument& a = command.entry->arguments[k];
            if (i >= words.size()) {
                error = std::string(command.entry->name) + ": " + a.name + " is missing";
                return false;
            }
            if (!ParseArgument(words[i], a, command.args[k])) {
                error = std::string(command.entry->name) + ": " + a.name + " must be a number from " +
                        std::to_string(a.min) + " to " + std::to_string(a.max) + " (decimal or 0x hex), not '" +
                        words[i] + "'";
                return false;
            }
        }
        out.push_back(command);
    }
    if (out.empty()) error = "no command given (see --help)";
    return !out.empty();
}

std::vector<ServiceOutcome> RunServiceCommands(ServiceLink& link, const std::vector<ServiceCommand>& commands,
                                               const LineTrace& trace, std::optional<ToolError>& failure) {
    std::vector<ServiceOutcome> outcomes;
    failure.reset();
    for (const ServiceCommand& c : commands) {
        const LineCounts before = trace.Counts();
        const auto result = link.Run(c.entry->command, static_cast<std::uint32_t>(c.args[0]),
                                     static_cast<std::uint32_t>(c.args[1]), c.entry->packets);
        const std::string title = Title(c);
        switch (result) {
            case ServiceLink::Outcome::Reply: {
                ServiceOutcome o;
                o.name = c.entry->name;
                o.arguments.assign(c.args, c.args + c.entry->argumentCount);
                o.title = title;
                o.reply = c.entry->reply;
                o.bytes = link.Reply();
                if (c.entry->reply == ServiceReply::Data && c.entry->argumentCount == 2)
                    o.firstAddress = static_cast<unsigned>(c.args[0]);
                if (c.entry->reply == ServiceReply::ADCValues) {
                    o.valuePointers[0] = link.ValuePointers()[0];
                    o.valuePointers[1] = link.ValuePointers()[1];
                }
                outcomes.push_back(std::move(o));
                continue;
            }
            case ServiceLink::Outcome::NoAnswer:
                failure.emplace(kExitNoAnswer,
                                title + ": no answer from the meter: " + LineTrace::Describe(trace.Counts() - before) +
                                    " (check the port, speed, parity, address and --echo)");
                return outcomes;
            case ServiceLink::Outcome::Damaged:
                failure.emplace(kExitNoAnswer, title + ": the meter's reply was damaged (bad checksum or length): " +
                                                   LineTrace::Describe(trace.Counts() - before));
                return outcomes;
            case ServiceLink::Outcome::NotSent:
                failure.emplace(kExitFailure, title + ": the command could not be framed; nothing was sent");
                return outcomes;
        }
    }
    return outcomes;
}

std::string ServiceCommandHelp() {
    std::string help;
    for (const ServiceCommandEntry& c : kCommands) help += std::string("  ") + c.help + "\n";
    return help;
}

}  // namespace q31::tool
