// Answers the meter family may lawfully give that are not the plain answer
// to what was asked, put on a virtual meter in place of its own. The
// end-to-end and the session tests run the same answers through their APIs.
// Each answer depends only on the packet, so a read that is sent again (a
// re-send, or a confirmation) gets the same answer again.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/LogContent.h"
#include "sim/MeterModel.h"
#include "sim/SimFrame.h"

namespace q31::test::lawful {

// The meter's identification written out byte by byte, checksum included,
// with length bytes other than the usual 14 (0x0E): IdWord2 0x00E7, four
// bytes the master does not interpret, serial number 310001 (0x0004BAF1),
// IdWord12 0x1234, and the further byte 0xA5.
inline const std::vector<std::vector<std::uint8_t>> kIdentifications = {
    {0xF0, 0x0F, 0x00, 0x14, 0xE7, 0x00, 0x11, 0x22, 0x33, 0x44, 0xF1, 0xBA, 0x04, 0x00, 0x34, 0x12, 0xA5, 0x3E, 0x05},
    {0xF0, 0x13, 0x00, 0x14, 0xE7, 0x00, 0x11, 0x22, 0x33, 0x44, 0xF1, 0xBA, 0x04, 0x00, 0x34, 0x12, 0xA5, 0x42, 0x05},
    {0xF0, 0x00, 0x00, 0x14, 0xE7, 0x00, 0x11, 0x22, 0x33, 0x44, 0xF1, 0xBA, 0x04, 0x00, 0x34, 0x12, 0xA5, 0x2F, 0x05},
    {0xF0, 0xFF, 0x00, 0x14, 0xE7, 0x00, 0x11, 0x22, 0x33, 0x44, 0xF1, 0xBA, 0x04, 0x00, 0x34, 0x12, 0xA5, 0x2E, 0x06},
};

inline void AnswerIdentificationWith(sim::MeterModel& m, std::vector<std::uint8_t> frame) {
    m.SetHandler(0x0F, [frame = std::move(frame)](sim::MeterModel&, const sim::MeterRequest&) {
        return sim::MeterResponse::Raw(frame);
    });
}

// An archive read (0x90) of the value at `address` answered with only the
// first `bytes` bytes of what the meter holds there.
struct Cut {
    std::uint32_t address;
    std::size_t bytes;
};

// The archive values are made from the counters as they are read; a twin of
// the meter, made from the same configuration, holds the same ones and
// gives the whole answer that is then cut.
inline void CutArchiveReads(sim::MeterModel& m, const sim::MeterConfig& config, std::vector<Cut> cuts) {
    auto twin = std::make_shared<sim::MeterModel>(config);
    m.SetHandler(0x90, [twin, cuts = std::move(cuts)](sim::MeterModel&, const sim::MeterRequest& r) {
        const std::vector<std::uint8_t> whole = twin->Handle(r.frame).bytes;
        if (whole.size() < 5 || r.data.size() != 6) return sim::MeterResponse::None();
        std::vector<std::uint8_t> payload(whole.begin() + 2, whole.begin() + 2 + whole[1]);
        for (const Cut& c : cuts)
            if (c.address == sim::GetU32(r.data.data())) payload.resize(c.bytes);
        return sim::MeterResponse::Data(std::move(payload));
    });
}

// The addresses the archive reads asked for, a packet sent again counted once.
inline std::vector<std::uint32_t> ArchiveReadAddresses(const sim::MeterModel& m) {
    std::vector<std::uint32_t> out;
    for (const auto& e : m.Log().Entries()) {
        if (e.bytes.size() != 12 || e.bytes[2] != 0x90) continue;
        const std::uint32_t at = sim::GetU32(&e.bytes[3]);
        if (out.empty() || out.back() != at) out.push_back(at);
    }
    return out;
}

// The third part of the module block (192 bytes at 0xFE00 + 200) answered
// with all 252 bytes a reply can carry: the block's own and the RAM after it.
inline void LengthenThirdBlockPart(sim::MeterModel& m) {
    m.SetHandler(0x10, [](sim::MeterModel& mm, const sim::MeterRequest& r) {
        if (r.data.size() != 3) return sim::MeterResponse::None();
        const std::uint16_t at = sim::GetU16(r.data.data());
        const std::size_t count = at == 0xFE00 + 200 ? 252 : r.data[2];
        return sim::MeterResponse::Data(mm.Memory().Read(sim::MemoryArea::Ram, at, count));
    });
}

// Edit logs of the second layout: 16 records of 18 bytes a module, 288
// bytes from 16 bytes into the area, read in two halves of 144.
inline std::uint32_t EditLogAddress(int module) {
    return sim::kEditLogAddress + 16 + 288 * static_cast<std::uint32_t>(module - 1);
}

// The first half of `module`'s edit log answered with its first four records.
inline void ShortenFirstEditHalf(sim::MeterModel& m, int module) {
    m.SetHandler(0x31, [half = EditLogAddress(module)](sim::MeterModel& mm, const sim::MeterRequest& r) {
        if (r.data.size() != 5) return sim::MeterResponse::None();
        const std::uint32_t at = sim::GetU32(r.data.data());
        return sim::MeterResponse::Data(mm.Memory().Read(sim::MemoryArea::Flash, at, at == half ? 72 : r.data[4]));
    });
}

// The meter writes `module`'s edit log anew: every byte of record r becomes
// 0xA0 + r.
inline void RewriteEditLog(sim::MeterModel& m, int module) {
    auto flash = m.Flash();
    for (std::uint32_t i = 0; i < 288; ++i)
        flash[EditLogAddress(module) + i] = static_cast<std::uint8_t>(0xA0 + i / 18);
}

// What the host is handed after a read of the rewritten log whose first
// half came with four records: records 0-3 and 8-15 rewritten (16 bytes of
// 0xA0 + r), 4-7 as the log held them before.
inline std::vector<std::uint8_t> EditBlockAfterShortHalf(int module) {
    std::vector<std::uint8_t> out;
    for (int r = 0; r < 16; ++r) {
        if (r >= 4 && r < 8) {
            const auto before = sim::EditRecordBytes(true, module - 1, r);
            out.insert(out.end(), before.begin(), before.begin() + 16);
        } else {
            out.insert(out.end(), 16, static_cast<std::uint8_t>(0xA0 + r));
        }
    }
    return out;
}

}  // namespace q31::test::lawful
