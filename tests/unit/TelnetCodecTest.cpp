#include <gtest/gtest.h>

#include <vector>

#include "platform/PortUrl.h"
#include "platform/Telnet.h"
#include "platform/TelnetDecoder.h"

namespace q31 {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Decoded(TelnetDecoder& d, Bytes in) {
    in.resize(d.Decode(in.data(), in.size()));
    return in;
}

TEST(TelnetDecoder, DoubledFfAndCommandsSplitAcrossReadsLeaveTheDataInOrder) {
    TelnetDecoder d;
    // 0xFF doubled, split between two reads.
    EXPECT_EQ(Decoded(d, {0xC9, 0xFF}), (Bytes{0xC9}));
    EXPECT_EQ(Decoded(d, {0xFF, 0x02}), (Bytes{0xFF, 0x02}));
    // A NOTIFY-MODEMSTATE in the middle of a reply, cut in three.
    EXPECT_EQ(Decoded(d, {0x10, 0xFF, 0xFA, 0x2C}), (Bytes{0x10}));
    EXPECT_EQ(Decoded(d, {0x6B, 0x30, 0xFF}), Bytes{});
    EXPECT_EQ(Decoded(d, {0xF0, 0x11, 0xFF, 0xFF}), (Bytes{0x11, 0xFF}));
    // Negotiations and a NOP between data bytes.
    EXPECT_EQ(Decoded(d, {0x01, 0xFF, 0xFB, 0x03, 0xFF, 0xF1, 0x02, 0xFF, 0xFD}), (Bytes{0x01, 0x02}));
    EXPECT_EQ(Decoded(d, {0x00, 0x03}), (Bytes{0x03}));
    EXPECT_FALSE(d.Seen().comPortAccepted);
}

TEST(TelnetDecoder, NotesTheComPortOptionAndTheSpeedAnswer) {
    TelnetDecoder accepting;
    // DO COM-PORT-OPTION, then SET-BAUDRATE answered with 9600, the answer
    // split between reads.
    EXPECT_EQ(Decoded(accepting, {0xFF, 0xFD, 0x2C, 0xFF, 0xFA, 0x2C, 0x65, 0x00}), Bytes{});
    EXPECT_TRUE(accepting.Seen().comPortAccepted);
    EXPECT_FALSE(accepting.Seen().speedAnswered);
    EXPECT_EQ(Decoded(accepting, {0x00, 0x25, 0x80, 0xFF, 0xF0, 0x7E}), (Bytes{0x7E}));
    EXPECT_TRUE(accepting.Seen().speedAnswered);
    EXPECT_EQ(accepting.Seen().speed, 9600u);
    // A speed with 0xFF in it travels doubled inside the sub-negotiation.
    TelnetDecoder fast;
    Decoded(fast, {0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0xFF, 0xF0});
    EXPECT_EQ(fast.Seen().speed, 65280u);
    TelnetDecoder refusing;
    Decoded(refusing, {0xFF, 0xFE, 0x2C});
    EXPECT_TRUE(refusing.Seen().comPortRefused);
    EXPECT_FALSE(refusing.Seen().comPortAccepted);
}

TEST(TelnetDecoder, ASubNegotiationThatNeverEndsDoesNotSwallowTheLine) {
    TelnetDecoder d;
    Bytes endless = {0xFF, 0xFA, 0x2C, 0x07};
    endless.resize(300, 0x30);
    endless.push_back(0xC9);
    // Everything up to the give-up point is dropped; the line's data comes again after it.
    const Bytes out = Decoded(d, endless);
    ASSERT_FALSE(out.empty());
    EXPECT_LT(out.size(), 50u);
    EXPECT_EQ(out.back(), 0xC9);
}

TEST(TelnetEncoding, OpeningAndLineRequestsAreTheRfc2217Bytes) {
    std::uint8_t out[telnet::kRequestsCapacity];
    const std::size_t opening = telnet::OpeningRequests(out, sizeof out);
    EXPECT_EQ(Bytes(out, out + opening), (Bytes{0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x2C}));
    LineSettings s;
    s.parity = LineParity::Even;
    s.stopBits = 2;
    const std::size_t line = telnet::LineRequests(s, out, sizeof out);
    const Bytes expected = {0xFF, 0xFA, 0x2C, 0x01, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0,  // 9600 baud
                            0xFF, 0xFA, 0x2C, 0x02, 0x08, 0xFF, 0xF0,                    // 8 data bits
                            0xFF, 0xFA, 0x2C, 0x03, 0x03, 0xFF, 0xF0,                    // even parity
                            0xFF, 0xFA, 0x2C, 0x04, 0x02, 0xFF, 0xF0,                    // 2 stop bits
                            0xFF, 0xFA, 0x2C, 0x05, 0x01, 0xFF, 0xF0,                    // no flow control
                            0xFF, 0xFA, 0x2C, 0x05, 0x08, 0xFF, 0xF0,                    // DTR on
                            0xFF, 0xFA, 0x2C, 0x05, 0x0B, 0xFF, 0xF0};                   // RTS on
    EXPECT_EQ(Bytes(out, out + line), expected);
    EXPECT_EQ(telnet::LineRequests(s, out, 20), 0u);  // too small: nothing half-written is used
    EXPECT_EQ(s.CharTimeMicros(), 1250);              // 12 bits at 9600 baud
}

TEST(TelnetEncoding, DataFfIsDoubledAndNeverSplitFromItsTwin) {
    const Bytes data = {0x01, 0xFF, 0x02};
    std::uint8_t out[8];
    std::size_t taken = 0;
    EXPECT_EQ(telnet::EscapeData(data.data(), data.size(), out, sizeof out, &taken), 4u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x01, 0xFF, 0xFF, 0x02}));
    EXPECT_EQ(taken, 3u);
    // Room for two bytes: the 0xFF waits for the next stretch whole.
    EXPECT_EQ(telnet::EscapeData(data.data(), data.size(), out, 2, &taken), 1u);
    EXPECT_EQ(taken, 1u);
}

TEST(PortUrl, TakesDevicesAndServersAndRefusesWhatIsNeither) {
    PortUrl u;
    ASSERT_TRUE(ParsePortUrl("tcp://127.0.0.1:4001", u));
    EXPECT_EQ(u.scheme, PortScheme::Tcp);
    EXPECT_EQ(u.host, "127.0.0.1");
    EXPECT_EQ(u.port, 4001);
    ASSERT_TRUE(ParsePortUrl("rfc2217://[::1]:2217", u));
    EXPECT_EQ(u.scheme, PortScheme::Rfc2217);
    EXPECT_EQ(u.host, "::1");
    EXPECT_EQ(u.port, 2217);
    ASSERT_TRUE(ParsePortUrl("/dev/ttyUSB0", u));
    EXPECT_EQ(u.scheme, PortScheme::Device);
    EXPECT_EQ(u.path, "/dev/ttyUSB0");
    for (const char* bad : {"", "http://host:80", "tcp://host", "tcp://:4001", "tcp://host:0", "tcp://host:65536",
                            "tcp://host:40a1", "tcp://::1:4001", "rfc2217://[::1]4001", "tcp://a/b:1"})
        EXPECT_FALSE(ParsePortUrl(bad, u)) << bad;
    EXPECT_FALSE(ParsePortUrl(nullptr, u));
}

}  // namespace
}  // namespace q31
