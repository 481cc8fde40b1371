// The service tool's commands: one table row per command says its name, its
// arguments and their ranges, how it starts on the heat-meter component and
// what kind of reply it prints.
#pragma once

#include <string>
#include <vector>

#include "tools/q31service/ServiceLink.h"

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
bool ParseServiceCommands(const std::vector<std::string>& words, std::vector<ServiceCommand>& out,
                          std::string& error);

// Runs the commands in order and prints each reply on stdout; stops at the
// first that gets no good reply (with a message on stderr). Returns 0 when
// all were answered, 1 otherwise.
int RunServiceCommands(ServiceLink& link, const std::vector<ServiceCommand>& commands);

// The commands, one line each, for the usage text.
std::string ServiceCommandHelp();

}  // namespace q31::tool
