// A port the library opened itself (q31_port_open), and what reading and
// writing it needs beyond its handle.
#pragma once

#include <mutex>

#include "platform/SerialPort.h"
#include "platform/TelnetDecoder.h"

namespace q31 {

struct OpenedPort {
    PortHandle handle = 0;
    // A socket: closed as one, and written so that a peer that is gone
    // gives an error, not a signal.
    bool socket = false;
    // Telnet (RFC 2217): what is read goes through `decoder`, and data
    // written has 0xFF doubled. Set once the line's opening is done.
    bool telnet = false;
    // A socket has no line speed of its own: the serial server's speed,
    // as the host set it, for the link's waits counted in characters.
    int charTimeMicros = 0;
    // Held while a read takes bytes and decodes them, so that the decoder
    // sees the stream in order whichever thread reads.
    std::mutex readMutex;
    TelnetDecoder decoder;
};

}  // namespace q31
