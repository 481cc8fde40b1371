#include "tools/q31service/ServiceCommands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace q31::tool {

enum class ServiceReply : std::uint8_t {
    Acknowledgement,  // one byte, printed as it came
    Data,             // bytes, printed as hex
    ADCValues,        // 64 bytes, printed as hex and as sixteen 32-bit values
};

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
    int packets;  // exchanges the command makes
    bool (*start)(TPublicNetKs_6x6& meter, const long long* args);
    const char* help;
};

namespace {

constexpr ServiceArgument kValue{"VALUE", 0, 255};
constexpr ServiceArgument kAddress{"ADDR", 0, 0xFFFF};
// A reply carries at most 252 bytes.
constexpr ServiceArgument kCount{"COUNT", 1, 252};
constexpr ServiceArgument kNone{nullptr, 0, 0};

std::uint8_t Byte(long long v) { return static_cast<std::uint8_t>(v); }

constexpr ServiceCommandEntry kCommands[] = {
    {"save", 1, {kValue, kNone}, ServiceReply::Acknowledgement, 1,
     [](TPublicNetKs_6x6& m, const long long* a) { return m.SaveData(Byte(a[0])); },
     "save VALUE               the meter saves its data (0x80)"},
    {"analog-start", 1, {kValue, kNone}, ServiceReply::Acknowledgement, 1,
     [](TPublicNetKs_6x6& m, const long long* a) { return m.AnalogStart(Byte(a[0])); },
     "analog-start VALUE       start an analog (ADC) measurement (0x81)"},
    {"analog-read", 2, {kAddress, kCount}, ServiceReply::Data, 1,
     [](TPublicNetKs_6x6& m, const long long* a) {
         return m.AnalogRead(static_cast<std::uint16_t>(a[0]), Byte(a[1]));
     },
     "analog-read ADDR COUNT   read COUNT bytes (1..252) of measurement data at ADDR (0x82)"},
    {"analog-end", 0, {kNone, kNone}, ServiceReply::Acknowledgement, 1,
     [](TPublicNetKs_6x6& m, const long long*) { return m.AnalogEnd(); },
     "analog-end               end the analog measurement (0x83)"},
    {"flow", 1, {kValue, kNone}, ServiceReply::Acknowledgement, 1,
     [](TPublicNetKs_6x6& m, const long long* a) { return m.StartFlowCalculation(Byte(a[0])); },
     "flow VALUE               start the flow calculation (0x84)"},
    {"term", 0, {kNone, kNone}, ServiceReply::Acknowledgement, 1,
     [](TPublicNetKs_6x6& m, const long long*) { return m.StartTermCalculation(); },
     "term                     start the term (heat) calculation (0x85)"},
    {"press", 0, {kNone, kNone}, ServiceReply::Data, 1,
     [](TPublicNetKs_6x6& m, const long long*) { return m.GetADCPressData(); },
     "press                    read the pressure ADC data (0x86)"},
    {"adc", 0, {kNone, kNone}, ServiceReply::ADCValues, 4,
     [](TPublicNetKs_6x6& m, const long long*) {
         m.GetADCData();
         return true;
     },
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

// Sixteen bytes a line, each line headed by the address of its first byte.
void PrintHex(const std::vector<std::uint8_t>& bytes, unsigned firstAddress) {
    for (std::size_t i = 0; i < bytes.size(); i += 16) {
        std::printf("  %04X:", static_cast<unsigned>(firstAddress + i) & 0xFFFFu);
        for (std::size_t k = i; k < i + 16 && k < bytes.size(); ++k) std::printf(" %02X", bytes[k]);
        std::printf("\n");
    }
}

void PrintADCValues(const ServiceCommand& c, ServiceLink& link) {
    const std::vector<std::uint8_t>& bytes = link.Reply();
    const std::uint16_t* pointers = link.Meter().ADCPointers;
    std::printf("%s: %zu bytes, values 0-7 from RAM 0x%04X, values 8-15 from RAM 0x%04X\n", Title(c).c_str(),
                bytes.size(), pointers[6], pointers[14]);
    PrintHex(bytes, 0);
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        std::uint32_t v = 0;
        std::memcpy(&v, &bytes[i], sizeof v);  // the meter sends them low byte first, as this host keeps them
        std::printf("  value %2zu  0x%08X  %11d\n", i / 4, v, static_cast<std::int32_t>(v));
    }
}

void PrintReply(const ServiceCommand& c, ServiceLink& link) {
    const std::vector<std::uint8_t>& bytes = link.Reply();
    switch (c.entry->reply) {
        case ServiceReply::Acknowledgement:
            std::printf("%s: acknowledged, byte 0x%02X\n", Title(c).c_str(), bytes.empty() ? 0u : bytes[0]);
            return;
        case ServiceReply::Data:
            std::printf("%s: %zu bytes\n", Title(c).c_str(), bytes.size());
            PrintHex(bytes, c.entry->argumentCount == 2 ? static_cast<unsigned>(c.args[0]) : 0u);
            return;
        case ServiceReply::ADCValues:
            PrintADCValues(c, link);
            return;
    }
}

}  // namespace

bool ParseServiceCommands(const std::vector<std::string>& words, std::vector<ServiceCommand>& out,
                          std::string& error) {
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

int RunServiceCommands(ServiceLink& link, const std::vector<ServiceCommand>& commands) {
    for (const ServiceCommand& c : commands) {
        const auto outcome = link.Run([&] { return c.entry->start(link.Meter(), c.args); }, c.entry->packets);
        switch (outcome) {
            case ServiceLink::Outcome::Reply:
                PrintReply(c, link);
                std::fflush(stdout);
                continue;
            case ServiceLink::Outcome::NoAnswer:
                std::fprintf(stderr, "%s: no answer from the meter (check port, speed, address and --echo)\n",
                             Title(c).c_str());
                return 1;
            case ServiceLink::Outcome::Damaged:
                std::fprintf(stderr, "%s: the meter's reply was damaged (bad checksum or length)\n",
                             Title(c).c_str());
                return 1;
            case ServiceLink::Outcome::NotSent:
                std::fprintf(stderr, "%s: the command could not be framed; nothing was sent\n", Title(c).c_str());
                return 1;
        }
    }
    return 0;
}

std::string ServiceCommandHelp() {
    std::string help;
    for (const ServiceCommandEntry& c : kCommands) help += std::string("  ") + c.help + "\n";
    return help;
}

}  // namespace q31::tool
