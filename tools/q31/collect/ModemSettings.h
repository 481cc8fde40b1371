// [modems]: the collector listens for modems that call in, and a meter on a
// port "modem:ID" is reached through the modem that registers as ID.
#pragma once

#include <string>
#include <vector>

namespace q31::tool::collect {

struct ModemSettings {
    bool enabled = false;  // the table is there
    std::string listen;    // HOST:PORT
    // The registration: this many bytes, or (0) the bytes up to `idEnd`,
    // a line by default (a carriage return before the line feed is dropped).
    int idLength = 0;
    std::string idEnd = "\n";
    // Strings a modem sends of its own accord, taken out of what it sends.
    std::vector<std::string> heartbeats;
    // A caller that has not registered in this time is hung up on.
    int registerTimeoutS = 30;
    // With --once: how long a modem that has not called in is waited for
    // before its meters count failed.
    int onceWaitS = 60;
};

}  // namespace q31::tool::collect
