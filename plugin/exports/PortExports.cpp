// The exports that open and close ports by URL.
#include <cstring>

#include "platform/PortOpen.h"
#include "publicQ31.h"

namespace {

// Per thread, so that two threads opening ports at once each read their own.
thread_local q31::PortOpenError lastError;

q31::LineParity ParityOf(std::uint8_t parity) {
    return parity == Q31_PARITY_ODD    ? q31::LineParity::Odd
           : parity == Q31_PARITY_EVEN ? q31::LineParity::Even
                                       : q31::LineParity::None;
}

bool SettingsValid(const q31_port_settings& s) {
    if (s.reserved0 != 0 || s.parity > Q31_PARITY_EVEN) return false;
    for (const std::uint8_t b : s.reserved)
        if (b != 0) return false;
    return s.connect_timeout_ms >= 1 && s.connect_timeout_ms <= Q31_TIMEOUT_MAX_MS;
}

int Refuse(const char* why) {
    lastError = q31::PortOpenError{};
    lastError.argument = true;
    std::strncpy(lastError.text, why, sizeof lastError.text - 1);
    return Q31_ERR_ARGUMENT;
}

}  // namespace

extern "C" {

Q31_API void Q31_CALL q31_port_settings_init(q31_port_settings* settings) {
    if (settings == nullptr) return;
    *settings = q31_port_settings{};
    settings->baud = Q31_DEFAULT_BAUD;
    settings->data_bits = 8;
    settings->parity = Q31_PARITY_NONE;
    settings->stop_bits = 1;
    settings->connect_timeout_ms = Q31_DEFAULT_CONNECT_TIMEOUT_MS;
}

Q31_API int Q31_CALL q31_port_open(const char* url, const q31_port_settings* settings, Q31PortHandle* port) {
    if (port != nullptr) *port = 0;
    if (url == nullptr || port == nullptr) return Refuse("no URL, or nowhere to put the port");
    q31_port_settings s{};
    q31_port_settings_init(&s);
    if (settings != nullptr) s = *settings;
    if (!SettingsValid(s)) return Refuse("port settings out of range");
    q31::LineSettings line;
    line.baud = s.baud;
    line.dataBits = s.data_bits;
    line.parity = ParityOf(s.parity);
    line.stopBits = s.stop_bits;
    lastError = q31::PortOpenError{};
    const q31::PortHandle opened = q31::PortOpen(url, line, s.connect_timeout_ms, &lastError);
    if (!q31::PortUsable(opened)) return lastError.argument ? Q31_ERR_ARGUMENT : Q31_ERR_PORT_OPEN;
    *port = opened;
    return Q31_OK;
}

Q31_API int32_t Q31_CALL q31_port_error(char* text, uint32_t size) {
    if (text != nullptr && size > 0) {
        std::strncpy(text, lastError.text, size - 1);
        text[size - 1] = '\0';
    }
    return lastError.osError;
}

Q31_API int Q31_CALL q31_port_close(Q31PortHandle port) { return q31::PortClose(port) ? Q31_OK : Q31_ERR_ARGUMENT; }

}  // extern "C"
