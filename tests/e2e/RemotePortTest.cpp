// Network lines through a real serial server: ser2net 4.3 in front of the
// virtual meter's pseudo-terminal, reached raw (tcp://) and through telnet
// with the COM-PORT option (rfc2217://), read through the plug-in's exports
// as a host reads them, against the same meter read on the pseudo-terminal.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "publicQ31.h"
#include "sim/PtyMeter.h"
#include "support/FreePort.h"
#include "support/PumpMessagesUntil.h"
#include "tests/e2e/Ser2netServer.h"
#include "tests/forward/ServerRules.h"

namespace q31::test {
namespace {

// What one line gave: the identity, one whole series, and whether a reply
// carried a data byte 0xFF.
struct LineRead {
    SDevIdent ident{};
    std::vector<std::int64_t> values;
    bool sawFf = false;
    int status = -1;
};

void Q31_CALL OnIdent(const q31_result* r, const SDevIdent* ident, void* user) {
    auto* read = static_cast<LineRead*>(user);
    read->status = r->status;
    if (ident) read->ident = *ident;
}

void Q31_CALL OnSeries(const q31_result* r, const void* values, uint32_t count, uint32_t size, void* user) {
    auto* read = static_cast<LineRead*>(user);
    read->status = r->status;
    for (uint32_t i = 0; i < count && size == 8; ++i) {
        std::int64_t v;
        std::memcpy(&v, static_cast<const char*>(values) + 8 * i, 8);
        read->values.push_back(v);
    }
}

void Q31_CALL OnTrace(const TQ31TraceEvent* e, void* user) {
    if (e->kind != Q31_TRACE_ACCEPTED) return;
    for (int32_t i = 0; i < e->length; ++i)
        if (e->bytes[i] == 0xFF) static_cast<LineRead*>(user)->sawFf = true;
}

bool Await(LineRead& read) {
    return PumpMessagesUntil([&] { return read.status >= 0; }, 60000);
}

// The identity, then the E series of module 1 from its oldest record, on `port`.
LineRead ReadLine(Q31PortHandle port) {
    LineRead read;
    q31_options options;
    ::q31_options_init(&options);
    q31_session* session = ::q31_session_open(port, &options);
    if (session == nullptr) return read;
    ::q31_session_set_trace(session, &OnTrace, &read);
    if (::q31_get_id(session, &OnIdent, &read) == Q31_OK && Await(read) && read.status == Q31_OK) {
        read.status = -1;
        if (::q31_get_archive_series(session, &read.ident, Q31_SERIES_E_HOUR, 1, 0, &OnSeries, &read) != Q31_OK)
            read.status = -2;
        Await(read);
    }
    ::q31_session_close(session);
    return read;
}

LineRead ReadUrl(const std::string& url) {
    Q31PortHandle port = 0;
    std::string why;
    EXPECT_EQ(OpenServerPort(url, &port, &why), Q31_OK) << url << ": " << why;
    const LineRead read = ReadLine(port);
    EXPECT_EQ(::q31_port_close(port), Q31_OK);
    return read;
}

void ExpectSameAsDirect(const LineRead& remote, const LineRead& direct, const char* how) {
    EXPECT_EQ(remote.status, Q31_OK) << how;
    EXPECT_EQ(remote.ident.SerialNumber, 310001u) << how;
    EXPECT_EQ(remote.ident.IdWord2, 0x00F0) << how;
    EXPECT_EQ(remote.ident.IdWord12, 0x5466) << how;
    EXPECT_EQ(remote.values, direct.values) << how;
    EXPECT_TRUE(remote.sawFf) << how << ": the meter's replies hold 0xFF bytes, as the direct line shows";
}

TEST(RemotePort, RawAndRfc2217ThroughSer2netReadWhatThePseudoTerminalGives) {
    Q31_NEED_SERVER(Ser2netServer::Available(), "ser2net");
    sim::PtyMeter meter;
    ASSERT_TRUE(meter.Start());
    Ser2netServer server(meter.SlavePath());
    ASSERT_TRUE(server.Start());

    const LineRead raw = ReadUrl(server.RawUrl());
    const LineRead telnet = ReadUrl(server.TelnetUrl());
    // ser2net has let go of the device once its clients went.
    const LineRead direct = ReadUrl(meter.SlavePath());

    ASSERT_EQ(direct.status, Q31_OK);
    EXPECT_TRUE(direct.sawFf);
    ASSERT_EQ(direct.values.size(), 1080u);  // the hourly ring's records
    ExpectSameAsDirect(raw, direct, "tcp://");
    ExpectSameAsDirect(telnet, direct, "rfc2217://");
}

TEST(RemotePort, BadUrlsAndUnreachableServersSayWhy) {
    Q31PortHandle port = 7;
    char why[200];
    EXPECT_EQ(::q31_port_open("ftp://127.0.0.1:21", nullptr, &port), Q31_ERR_ARGUMENT);
    EXPECT_EQ(port, 0);
    EXPECT_EQ(::q31_port_error(why, sizeof why), 0);
    EXPECT_NE(std::strstr(why, "not a port"), nullptr) << why;
    q31_port_settings settings;
    ::q31_port_settings_init(&settings);
    settings.reserved[3] = 1;
    EXPECT_EQ(::q31_port_open("tcp://127.0.0.1:1", &settings, &port), Q31_ERR_ARGUMENT);
    // Nothing listens on a port just found free.
    const std::string closed = "tcp://127.0.0.1:" + std::to_string(FreeLoopbackPort());
    EXPECT_EQ(::q31_port_open(closed.c_str(), nullptr, &port), Q31_ERR_PORT_OPEN);
    EXPECT_NE(::q31_port_error(why, sizeof why), 0);
    EXPECT_NE(std::strstr(why, "Connection refused"), nullptr) << why;
    EXPECT_EQ(::q31_port_close(12345), Q31_ERR_ARGUMENT);
}

}  // namespace
}  // namespace q31::test
