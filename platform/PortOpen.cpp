#include "platform/PortOpen.h"

#include <chrono>
#include <cstdio>
#include <memory>

#include "platform/NativePort.h"
#include "platform/PortTable.h"
#include "platform/PortUrl.h"
#include "platform/Telnet.h"

namespace q31 {

namespace {

constexpr int kHighestBaud = 4000000;

PortHandle Refuse(PortOpenError* error, bool argument, const char* format, const char* what) {
    if (error) {
        error->argument = argument;
        if (std::snprintf(error->text, sizeof error->text, format, what) < 0) error->text[0] = '\0';
    }
    return kNoPort;
}

bool SettingsValid(const LineSettings& s) {
    return s.baud > 0 && s.baud <= kHighestBaud && s.dataBits >= 5 && s.dataBits <= 8 &&
           (s.stopBits == 1 || s.stopBits == 2);
}

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// What the server said in plain text while the line was being opened: a
// server that turns a client away often says why ("port already in use").
struct ServerText {
    char text[96] = {};
    std::size_t length = 0;
    void Add(const std::uint8_t* data, std::size_t count) {
        for (std::size_t i = 0; i < count && length + 1 < sizeof text; ++i)
            if (data[i] >= 0x20 && data[i] < 0x7F) text[length++] = static_cast<char>(data[i]);
    }
};

// Reads the raw stream through the port's decoder until `done` says what
// was waited for came, the connection failed, or the deadline passed. Data
// bytes that come meanwhile are no meter's: nothing was asked of one yet.
template <typename Done>
bool WaitFor(OpenedPort& port, std::int64_t deadline, ServerText& said, Done done) {
    PortReader reader;
    std::uint8_t scratch[256];
    while (!done(port.decoder.Seen())) {
        const std::int64_t left = deadline - NowMs();
        if (left <= 0) return false;
        std::size_t n = reader.Read(port.handle, scratch, 1, static_cast<int>(left));
        if (reader.LastError() != 0) return false;
        n += PortTakePending(port.handle, scratch + n, sizeof scratch - n);
        said.Add(scratch, port.decoder.Decode(scratch, n));
    }
    return true;
}

// The telnet opening: BINARY and COM-PORT-OPTION, then the line's settings.
// Only the answers every RFC 2217 server gives are waited for (the option
// itself and the speed); some never answer the modem-line controls.
const char* Negotiate(OpenedPort& port, const LineSettings& settings, int timeoutMs, ServerText& said) {
    std::uint8_t requests[telnet::kRequestsCapacity];
    std::size_t n = telnet::OpeningRequests(requests, sizeof requests);
    if (!PortWrite(port.handle, requests, n)) return "the connection failed during the telnet opening";
    auto accepted = [](const TelnetDecoder::Noted& s) { return s.comPortAccepted || s.comPortRefused; };
    if (!WaitFor(port, NowMs() + timeoutMs, said, accepted))
        return "the server did not take up the COM-PORT option (is it an RFC 2217 server?)";
    if (!port.decoder.Seen().comPortAccepted) return "the server refuses the COM-PORT option";
    n = telnet::LineRequests(settings, requests, sizeof requests);
    if (!PortWrite(port.handle, requests, n)) {
        // A server that turns the client away says why and closes at once.
        const std::size_t got = PortTakePending(port.handle, requests, sizeof requests);
        said.Add(requests, got);
        return "the connection failed while setting the line";
    }
    auto answered = [](const TelnetDecoder::Noted& s) { return s.speedAnswered; };
    if (!WaitFor(port, NowMs() + timeoutMs, said, answered)) return "the server did not confirm the line speed";
    if (port.decoder.Seen().speed != static_cast<std::uint32_t>(settings.baud))
        return "the server cannot set the line speed asked for";
    return nullptr;
}

}  // namespace

PortHandle PortOpen(const char* url, const LineSettings& settings, int timeoutMs, PortOpenError* error) {
    PortUrl where;
    if (!ParsePortUrl(url, where))
        return Refuse(error, true, "not a port: %s (a device path, tcp://HOST:PORT or rfc2217://HOST:PORT)",
                      url ? url : "(null)");
    if (!SettingsValid(settings) || timeoutMs <= 0)
        return Refuse(error, true, "line settings out of range for %s", url);
    auto port = std::make_unique<OpenedPort>();
    if (where.scheme == PortScheme::Device) {
        port->handle = NativeOpenDevice(where.path.c_str(), settings, error);
        if (!PortUsable(port->handle)) return kNoPort;
        return AddOpenedPort(std::move(port))->handle;
    }
    port->handle = NativeConnect(where.host.c_str(), where.port, timeoutMs, error);
    if (!PortUsable(port->handle)) return kNoPort;
    port->socket = true;
    port->charTimeMicros = settings.CharTimeMicros();
    OpenedPort& opened = *AddOpenedPort(std::move(port));
    if (where.scheme == PortScheme::Tcp) return opened.handle;
    ServerText said;
    if (const char* why = Negotiate(opened, settings, timeoutMs, said)) {
        PortClose(opened.handle);
        if (error && std::snprintf(error->text, sizeof error->text, "%s%s%s", why, said.length ? "; it said: " : "",
                                   said.text) < 0)
            error->text[0] = '\0';
        return kNoPort;
    }
    opened.telnet = true;
    return opened.handle;
}

bool PortClose(PortHandle port) {
    std::unique_ptr<OpenedPort> opened = RemoveOpenedPort(port);
    if (!opened) return false;
    if (opened->socket) NativeCloseSocket(port);
    else NativeCloseDevice(port);
    return true;
}

}  // namespace q31
