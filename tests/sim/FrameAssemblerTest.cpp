#include <gtest/gtest.h>

#include <vector>

#include "sim/FrameAssembler.h"
#include "sim/SimRandom.h"

namespace q31::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Frames = std::vector<Bytes>;

const Bytes kId = BuildRequest(kDefaultMeterAddress, 0x0F, Bytes{});
const Bytes kRead = BuildRequest(kDefaultMeterAddress, 0x10, Bytes{0x00, 0xFE, 0x0E});

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(FrameAssembler, CutsPacketsWhateverTheChunking) {
    const Bytes stream = Join({{0x00}, kId, kRead, {0x00, 0x17}, kId});
    for (std::size_t chunk : {1u, 2u, 5u, 64u}) {
        FrameAssembler a;
        Frames got;
        for (std::size_t i = 0; i < stream.size(); i += chunk) {
            const std::size_t n = std::min(chunk, stream.size() - i);
            for (auto& f : a.Feed(std::span(stream).subspan(i, n))) got.push_back(f);
        }
        EXPECT_EQ(got, (Frames{kId, kRead, kId})) << "chunk " << chunk;
        EXPECT_EQ(a.Pending(), 0u);
    }
}

TEST(FrameAssembler, SkipsOtherMetersAndBadChecksums) {
    FrameAssembler a;
    Bytes bad = kRead;
    bad[5] ^= 0x01;
    const Bytes other = BuildRequest(7, 0x0F, Bytes{});
    EXPECT_EQ(a.Feed(Join({bad, other, kId})), Frames{kId});
    EXPECT_GE(a.BadChecksums(), 1u);

    // 0xCA opens a packet only for the F149 flash write.
    const Bytes f149 = BuildRequest(kF149Address, 0x5A, Bytes{1, 0x00, 0x10, 0x77});
    const Bytes notF149 = BuildRequest(kF149Address, 0x10, Bytes{0, 0, 1});
    EXPECT_EQ(a.Feed(Join({notF149, f149})), Frames{f149});
}

TEST(FrameAssembler, FalseStartsDoNotHideRealPackets) {
    FrameAssembler a;
    // A stray address byte whose "length" ends inside the real packet: the
    // checksum fails there and the search moves on by one byte.
    EXPECT_EQ(a.Feed(Join({{kDefaultMeterAddress, 0x03}, kId})), Frames{kId});

    // One announcing a long packet holds the real one until the line falls
    // silent; then the real one is found behind it.
    EXPECT_TRUE(a.Feed(Join({{kDefaultMeterAddress, 0xF0}, kRead})).empty());
    EXPECT_EQ(a.Expire(), Frames{kRead});
    EXPECT_EQ(a.Pending(), 0u);
    // A length byte of 0 cannot start anything.
    EXPECT_EQ(a.Feed(Join({{kDefaultMeterAddress, 0x00}, kId})), Frames{kId});
}

TEST(FrameAssembler, NoiseNeverYieldsInvalidPacketsOrOverflows) {
    FrameAssembler a;
    SimRandom random(99);
    std::size_t found = 0;
    for (int round = 0; round < 2000; ++round) {
        Bytes noise(random.Below(300));
        for (auto& b : noise) {
            // Plenty of address bytes, so false starts of every length occur.
            b = random.Below(4) == 0 ? kDefaultMeterAddress : random.NextByte();
        }
        for (const Bytes& f : a.Feed(noise)) EXPECT_TRUE(IsValidRequest(f, kDefaultMeterAddress));
        const Frames after = a.Feed(kId);
        const Frames late = a.Expire();
        found += std::count(after.begin(), after.end(), kId) + std::count(late.begin(), late.end(), kId);
        EXPECT_LE(a.Pending(), kMaxRequestLength);
    }
    // Every planted packet is recovered, at the latest when the line goes quiet.
    EXPECT_GE(found, 2000u);
}

}  // namespace
}  // namespace q31::sim
