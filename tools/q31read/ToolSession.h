// What every request of the operator tool shares: the loaded plug-in, the
// identity of the meter, and waiting for a callback while pumping messages.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/q31read/PluginApi.h"

namespace q31::tool {

struct Session {
    PluginApi* api = nullptr;
    SDevIdent ident{};      // filled by the identification
    int waitMs = 10000;     // how long to wait for one callback
};

// Every callback calls this, so Await sees that its request is complete.
void NoteCallback();
void NoteTimeOut();

// Why an export refused a request.
const char* StatusText(std::uint8_t status);

// Starts a request (`start` returns the export's status) and pumps until a
// callback has run. Prints why not and returns false on refusal or silence.
bool AwaitStatus(Session& s, const char* what, std::uint8_t status);
template <typename Start>
bool Await(Session& s, const char* what, Start start) {
    return AwaitStatus(s, what, start());
}

// Identifies the meter into s.ident.
bool Identify(Session& s);

// A Windows-1251 text as UTF-8, for the terminal.
std::string Utf8(const char* text1251);

// A whole number in [min, max], decimal or 0x hex.
bool ParseNumber(const std::string& text, long long min, long long max, long long& out);

}  // namespace q31::tool
