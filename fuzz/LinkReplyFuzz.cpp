// Feeds arbitrary line bytes to the link's reply continuations, the way the
// channel hands them over: one chunk of exactly the size the link asked for
// at a time. Each chunk lives in its own allocation of that size, so an
// address sanitizer sees any read or write past what the line delivered.
//
// Input: byte 0 picks the request and the echo mode, the rest is the line.
#include <cstdint>
#include <cstring>
#include <memory>

#include "link/TPublicNetKs.h"
#include "runtime/MessageLoop.h"
#include "serial/TPublicDevCom.h"

namespace {

struct Sink {
    void Executed(short length, char* buffer) {
        // Touch every byte the event claims to carry.
        volatile unsigned sum = 0;
        for (short i = 0; i < length; ++i) sum = sum + static_cast<unsigned char>(buffer[i]);
    }
    void Ident(q31::SIDDevice* d) {
        volatile std::uint32_t s = d->SerialNumber;
        (void)s;
    }
    void Count(int) {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static q31::ManualClock clock;
    static q31::MessageLoop loop(&clock);
    q31::TPublicDevCom channel(nullptr, loop);
    q31::TPublicNetKs link(nullptr, loop);
    Sink sink;
    link.DeviceComm = &channel;
    link.NullByteEnabled = false;
    link.OnReceiveExecuted = q31::TPublicNetKs::ReceiveEvent::Bind<&Sink::Executed>(&sink);
    link.OnVarReceiveExecuted = link.OnReceiveExecuted;
    link.OnReceivedIDDevice = q31::Delegate<void(q31::SIDDevice*)>::Bind<&Sink::Ident>(&sink);
    link.OnReceiveModuleCounter = q31::Delegate<void(int)>::Bind<&Sink::Count>(&sink);

    const std::uint8_t mode = data[0];
    link.SetReceiving_back((mode & 0x80) != 0);
    static const std::uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    bool armed = true;
    switch (mode & 0x07) {
        case 0: link.GetDeviceID(); break;
        case 1: armed = link.ReadRAM(0xFE00, 100); break;
        case 2: armed = link.WriteRAM(0x1000, 8, payload); break;
        case 3: armed = link.GetModuleCounter(0x1400); break;
        case 4: armed = link.GetDisplayData(); break;
        default: armed = link.ReadFlashLarge(0x49600, 160); break;
    }
    // Every one of these packets frames; one that did not would leave
    // nothing to feed.
    if (!armed) __builtin_trap();
    // The continuation the request armed, as the channel would call it.
    const auto continuation = channel.OnReceivePacket;
    std::size_t at = 1;
    for (int chunks = 0; chunks < 16 && at < size; ++chunks) {
        const int want = channel.LengthPacket < 1 ? 1 : channel.LengthPacket;
        auto chunk = std::make_unique<char[]>(static_cast<std::size_t>(want));
        // Bytes the line did not deliver are zero, as the channel gives them.
        std::memset(chunk.get(), 0, static_cast<std::size_t>(want));
        const std::size_t take =
            size - at < static_cast<std::size_t>(want) ? size - at : static_cast<std::size_t>(want);
        std::memcpy(chunk.get(), data + at, take);
        at += take;
        if (continuation) continuation(chunk.get());
    }
    return 0;
}
