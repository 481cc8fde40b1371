#include "tools/q31/common/LineTrace.h"

#include <string>

#include "support/HostPort.h"

namespace q31::tool {

namespace {

const char* RejectionText(int reason) {
    switch (reason) {
        case Q31_REJECT_CHECKSUM: return "bad checksum";
        case Q31_REJECT_ADDRESS: return "wrong address";
        case Q31_REJECT_LENGTH: return "announced length too long";
        case Q31_REJECT_SHORT: return "reply too short";
        case Q31_REJECT_EMPTY: return "reply carries no whole value";
        case Q31_REJECT_UNCONFIRMED: return "confirming read differs";
        case Q31_REJECT_WRONG_LENGTH: return "wrong length";
        case Q31_REJECT_FOLLOWED: return "another frame followed it";
        default: return "unknown reason";
    }
}

const char* EndText(int reason) {
    switch (reason) {
        case Q31_END_ACCEPTED: return "answered";
        case Q31_END_TIMEOUT: return "failed";
        case Q31_END_ABANDONED: return "abandoned for a new packet";
        case Q31_END_BROKEN: return "stopped (send limit reached or broken off)";
        case Q31_END_PORT_ERROR: return "the port could not be written";
        default: return "ended";
    }
}

std::string Hex(const std::uint8_t* bytes, int length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (int i = 0; i < length; ++i) {
        out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

}  // namespace

LineCounts LineCounts::operator-(const LineCounts& earlier) const {
    LineCounts d;
    d.writes = writes - earlier.writes;
    d.resends = resends - earlier.resends;
    d.bytesRead = bytesRead - earlier.bytesRead;
    d.accepted = accepted - earlier.accepted;
    d.checksumFailures = checksumFailures - earlier.checksumFailures;
    d.otherRejections = otherRejections - earlier.otherRejections;
    d.timeouts = timeouts - earlier.timeouts;
    d.portErrors = portErrors - earlier.portErrors;
    d.lastOsError = lastOsError;
    return d;
}

void Q31_CALL LineTrace::Handler(const TQ31TraceEvent* event, void* user) {
    if (event && user) static_cast<LineTrace*>(user)->Record(*event);
}

void LineTrace::Record(const TQ31TraceEvent& event) {
    switch (event.kind) {
        case Q31_TRACE_WRITE: ++counts_.writes; break;
        case Q31_TRACE_READ: counts_.bytesRead += event.length; break;
        case Q31_TRACE_ACCEPTED: ++counts_.accepted; break;
        case Q31_TRACE_REJECTED:
            if (event.reason == Q31_REJECT_CHECKSUM) ++counts_.checksumFailures;
            else ++counts_.otherRejections;
            break;
        case Q31_TRACE_TIMEOUT: ++counts_.timeouts; break;
        case Q31_TRACE_RESEND: ++counts_.resends; break;
        case Q31_TRACE_PORT_ERROR:
            ++counts_.portErrors;
            counts_.lastOsError = event.os_error;
            break;
        default: break;
    }
    if (firstUs_ < 0) firstUs_ = event.time_us;
    lastUs_ = event.time_us;
    if (out_) Print(event);
    if (OnEvent) OnEvent(event);
}

void LineTrace::Print(const TQ31TraceEvent& e) {
    const double seconds = static_cast<double>(e.time_us - firstUs_) / 1e6;
    const std::string bytes = e.bytes && e.length > 0 ? Hex(e.bytes, e.length) : std::string();
    std::string line;
    switch (e.kind) {
        case Q31_TRACE_REQUEST_START: line = "packet  " + bytes; break;
        case Q31_TRACE_WRITE: line = "->     " + bytes; break;
        case Q31_TRACE_READ: line = "<-     " + (bytes.empty() ? std::string(" (nothing)") : bytes); break;
        case Q31_TRACE_ACCEPTED: line = "accepted"; break;
        case Q31_TRACE_REJECTED:
            line = std::string("rejected: ") + RejectionText(e.reason);
            if (e.reason == Q31_REJECT_WRONG_LENGTH)
                line += " (asked " + std::to_string(e.expected) + ", got " + std::to_string(e.actual) + ")";
            break;
        case Q31_TRACE_TIMEOUT: line = "time-out: no accepted reply"; break;
        case Q31_TRACE_RESEND: line = "re-send #" + std::to_string(e.count) + " of the same packet"; break;
        case Q31_TRACE_PORT_ERROR:
            line = std::string(e.reason == Q31_PORT_WRITE ? "port write failed: " : "port read failed: ") +
                   HostPortErrorText(e.os_error);
            break;
        case Q31_TRACE_REQUEST_END:
            line = std::string("end: ") + EndText(e.reason) + ", " + std::to_string(e.count) + " re-sends";
            break;
        case Q31_TRACE_DISCARDED: line = "discarded" + bytes; break;
        default: line = "event " + std::to_string(e.kind); break;
    }
    if (label_.empty()) std::fprintf(out_, "%12.6f %s\n", seconds, line.c_str());
    else std::fprintf(out_, "%12.6f %s: %s\n", seconds, label_.c_str(), line.c_str());
}

std::string LineTrace::Describe(const LineCounts& c) {
    std::string text = std::to_string(c.writes) + (c.writes == 1 ? " send, " : " sends, ") +
                       std::to_string(c.bytesRead) + " bytes received, " + std::to_string(c.checksumFailures) +
                       (c.checksumFailures == 1 ? " checksum failure" : " checksum failures");
    if (c.otherRejections && c.bytesRead > 0)
        text += ", " + std::to_string(c.otherRejections) + " other rejected replies";
    return text;
}

}  // namespace q31::tool
