// The service tool's commands: one table row per command says its name, its
// arguments and their ranges, the plug-in's service command it runs and
// what kind of reply it prints.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/q31/cli/ServiceLink.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool {

struct ServiceCommandEntry;

// One command of the command line with its checked arguments.
struct ServiceCommand {
    const ServiceCommandEntry* entry = nullptr;
    long long args[2] = {};
};

// Parses every command of the command line before anything is sent, so a
// typo in the third command does not leave the first two done. Returns false
// with a message in `error` on an unknown command or a bad argument.
bool ParseServiceCommands(const std::vector<std::string>& words, std::vector<ServiceCommand>& out, std::string& error);

enum class ServiceReply : std::uint8_t {
    Acknowledgement,  // one byte
    Data,             // bytes
    ADCValues,        // 64 bytes: sixteen 32-bit values
};

// What one command got back.
struct ServiceOutcome {
    std::string name;  // as typed
    std::vector<long long> arguments;
    std::string title;  // name and arguments, for the human form
    ServiceReply reply = ServiceReply::Acknowledgement;
    std::vector<std::uint8_t> bytes;
    unsigned firstAddress = 0;            // of the first data byte (analog-read), else 0
    std::uint16_t valuePointers[2] = {};  // ADCValues: RAM of values 0-7 and 8-15
};

// Runs the commands in order and keeps each reply; stops at the first that
// gets no good reply, and puts why in `failure` (what `trace` saw of the
// line included). The outcomes of the commands before it are returned.
std::vector<ServiceOutcome> RunServiceCommands(ServiceLink& link, const std::vector<ServiceCommand>& commands,
                                               const LineTrace& trace, std::optional<ToolError>& failure);

// The commands, one line each, for the usage text.
std::string ServiceCommandHelp();

}  // namespace q31::tool
