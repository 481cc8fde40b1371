// What a virtual meter's bus is served on: a pseudo-terminal that a host
// opens as its serial port, or a TCP connection (a serial device server's
// socket, or a modem that calls the collector). The meter's line thread
// alone calls these.
#pragma once

#include <string>

namespace q31::sim {

class SimLine {
public:
    virtual ~SimLine() = default;

    // Makes what must exist before the meter is switched on (the
    // pseudo-terminal, the listening socket). False when it cannot be had.
    virtual bool Open() = 0;
    // What a host names to reach the meter: the slave path, or the
    // listener's tcp://HOST:PORT. Set by Open.
    virtual const std::string& Name() const = 0;
    // The descriptor bytes are read from and written to, taking or making a
    // connection first when there is none; waits at most `waitMs`. -1 while
    // there is none yet.
    virtual int Connection(int waitMs) = 0;
    // Reading failed (end of file, error). Returns true when that ended a
    // connection (the next Connection takes or makes another), false when
    // the line stays as it is and the caller should pause before trying again.
    virtual bool Lost() = 0;
    // Ends the connection at once, as a device server or modem that drops
    // the call does. Nothing on a pseudo-terminal.
    virtual void HangUp() {}
    // Between packets: what a line sends of its own accord (a modem's heartbeat).
    virtual void Idle() {}
    // Drops queued input of the line (the meter was off meanwhile).
    virtual void Discard() {}
};

}  // namespace q31::sim
