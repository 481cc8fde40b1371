// The error and edit logs. The meter keeps an error log for the device and
// one per module, and an edit log per module, in two flash areas; each area
// exists in two layouts (the second has longer records). A read fetches one
// head or one block of 16 records into an image of the area laid out like
// the flash, field for field, and reports a pointer into that image.
//
// Every read is a row of kLogReads: where in which area, how many bytes, which
// image, which event. The twelve commands and their receive routines only
// name their row.
#include <cstring>
#include <iterator>
#include <type_traits>

#include "meter/StoreReply.h"
#include "meter/TPublicNetKs_6x6.h"

namespace q31 {

enum class TPublicNetKs_6x6::LogPiece : std::uint8_t {
    ErrorH1,
    ErrorH1V2,
    ErrorH6,
    ErrorH6V2,
    Err1,
    Err1V2,
    Err6,
    Err6V2,
    EditH1,
    EditH1V2,
    Edit,
    EditV2,
    Count,
};

namespace {

enum class LogImage : std::uint8_t { Error, ErrorV2, Edit, EditV2 };

struct LogRead {
    FlashAddressEntry area;  // AddrErrorLog or AddrEditLog
    std::uint32_t offset;    // of module 0, block 0 from the start of the area
    std::int32_t modules;    // module numbers 0..modules-1; 0: the read takes no module
    std::uint32_t moduleStride;
    std::int32_t blocks;  // block numbers 0..blocks-1; 0: the read takes no block
    std::uint32_t blockStride;
    std::uint8_t bytes;  // what one flash read asks for
    // 0: one read. Otherwise the block is larger than one reply can carry
    // and comes in two halves of `bytes`, each of whole records of this size.
    std::uint8_t recordSize;
    LogImage image;
    void (*raise)(TPublicNetKs_6x6& meter, std::uint8_t* first);
};

template <typename>
struct EventArgument;
template <typename Pointer>
struct EventArgument<Delegate<void(Pointer)>> {
    using type = Pointer;
};

// Raises a log event, when assigned, with a pointer into an image.
template <auto Event>
void Raise(TPublicNetKs_6x6& meter, std::uint8_t* first) {
    const auto& event = meter.*Event;
    using Pointer = typename EventArgument<std::remove_cvref_t<decltype(event)>>::type;
    if (event) event(reinterpret_cast<Pointer>(first));
}

using C = TPublicNetKs_6x6;

// In the order of LogPiece.
constexpr LogRead kLogReads[] = {
    // Device error head: 8 words, read alike for both layouts.
    {AddrErrorLog, 0, 0, 0, 0, 0, 16, 0, LogImage::Error, &Raise<&C::OnErrorH1>},
    {AddrErrorLog, 0, 0, 0, 0, 0, 16, 0, LogImage::ErrorV2, &Raise<&C::OnErrorH1V2>},
    // Module error heads: 6 words in the first layout, 5 in the second.
    {AddrErrorLog, 1040, 8, 12, 0, 0, 12, 0, LogImage::Error, &Raise<&C::OnErrorH6>},
    {AddrErrorLog, 1296, 8, 10, 0, 0, 10, 0, LogImage::ErrorV2, &Raise<&C::OnErrorH6V2>},
    // Device error log: 8 blocks of 16 records of 8 or 10 bytes.
    {AddrErrorLog, 16, 0, 0, 8, 128, 128, 0, LogImage::Error, &Raise<&C::OnError1>},
    {AddrErrorLog, 16, 0, 0, 8, 160, 160, 0, LogImage::ErrorV2, &Raise<&C::OnError1V2>},
    // Module error logs: 6 blocks a module in the first layout, 5 in the second.
    {AddrErrorLog, 1136, 8, 768, 6, 128, 128, 0, LogImage::Error, &Raise<&C::OnError6>},
    {AddrErrorLog, 1376, 8, 800, 5, 160, 160, 0, LogImage::ErrorV2, &Raise<&C::OnError6V2>},
    // Module edit heads: one word, read alike for both layouts.
    {AddrEditLog, 0, 8, 2, 0, 0, 2, 0, LogImage::Edit, &Raise<&C::OnEditH1>},
    {AddrEditLog, 0, 8, 2, 0, 0, 2, 0, LogImage::EditV2, &Raise<&C::OnEditH1V2>},
    // Module edit logs: 16 records of 16 or 18 bytes, in two halves.
    {AddrEditLog, 16, 8, 256, 0, 0, 128, 16, LogImage::Edit, &Raise<&C::OnReceiveEdit>},
    {AddrEditLog, 16, 8, 288, 0, 0, 144, 18, LogImage::EditV2, &Raise<&C::OnReceiveEditV2>},
};

constexpr std::uint32_t ImageSize(LogImage image) {
    switch (image) {
        case LogImage::Error: return C::kErrorImageSize;
        case LogImage::ErrorV2: return C::kErrorImageV2Size;
        case LogImage::Edit: return C::kEditImageSize;
        case LogImage::EditV2: return C::kEditImageV2Size;
    }
    return 0;
}

// The highest module and block of every row stay inside the row's image,
// and a half holds whole records: eight of them.
constexpr bool RowsFitTheirImages() {
    for (const LogRead& r : kLogReads) {
        std::uint32_t end = r.offset + r.bytes * (r.recordSize ? 2u : 1u);
        if (r.modules) end += static_cast<std::uint32_t>(r.modules - 1) * r.moduleStride;
        if (r.blocks) end += static_cast<std::uint32_t>(r.blocks - 1) * r.blockStride;
        if (end > ImageSize(r.image)) return false;
        if (r.recordSize && r.bytes != 8 * r.recordSize) return false;
    }
    return true;
}
static_assert(RowsFitTheirImages());

std::uint8_t* ImageOf(TPublicNetKs_6x6& meter, LogImage image) {
    switch (image) {
        case LogImage::Error: return meter.ErrorImage;
        case LogImage::ErrorV2: return meter.ErrorImageV2;
        case LogImage::Edit: return meter.EditImage;
        case LogImage::EditV2: return meter.EditImageV2;
    }
    return nullptr;
}

// Numbers outside the log are refused rather than read: the image has no
// place for them, and the flash beyond a log belongs to something else.
bool Accepts(const LogRead& r, std::int32_t module, std::int32_t block) {
    return (r.modules == 0 || (module >= 0 && module < r.modules)) &&
           (r.blocks == 0 || (block >= 0 && block < r.blocks));
}

// Offset of the head or block from the start of the area (and of the image).
std::uint32_t OffsetOf(const LogRead& r, std::int32_t module, std::int32_t block) {
    std::uint32_t offset = r.offset;
    if (r.modules) offset += static_cast<std::uint32_t>(module) * r.moduleStride;
    if (r.blocks) offset += static_cast<std::uint32_t>(block) * r.blockStride;
    return offset;
}

// Whole records of a half that fit the half; a longer reply's surplus would
// belong to the next half or the next module's block.
int RecordsOf(const LogRead& r, short Length) {
    if (Length <= 0) return 0;
    const int n = Length / r.recordSize;
    const int perHalf = r.bytes / r.recordSize;
    return n < perHalf ? n : perHalf;
}

// A head or an error block is read whole; an edit half may come back with
// fewer records (the meter's 72-byte half), each stored where it belongs.
constexpr ReplyCheck CheckOf(const LogRead& r) {
    return r.recordSize ? ReplyCheck::Values(r.bytes, r.recordSize) : ReplyCheck::Exactly(r.bytes);
}

constexpr int kEditCounterBytes = 28;

}  // namespace

template <auto Receive>
void TPublicNetKs_6x6::StartLogRead(LogPiece piece, std::int32_t module, std::int32_t block) {
    static_assert(std::size(kLogReads) == static_cast<std::size_t>(LogPiece::Count));
    const LogRead& r = kLogReads[static_cast<int>(piece)];
    if (!Accepts(r, module, block)) return;
    if (r.blocks) CurrentBlock = block;
    if (r.modules) CurrentModule = module;
    if (r.recordSize) StepCounter = 0;
    Borrow<Receive>();
    if (!ReadFlashLarge(FlashAddressMap[r.area] + OffsetOf(r, module, block), r.bytes, CheckOf(r))) GiveBack();
}

void TPublicNetKs_6x6::ReceiveLogRead(LogPiece piece, short length, char* buffer) {
    const LogRead& r = kLogReads[static_cast<int>(piece)];
    const std::int32_t module = r.modules ? CurrentModule : 0;
    const std::int32_t block = r.blocks ? CurrentBlock : 0;
    if (!Accepts(r, module, block)) {
        // The current numbers were changed from outside while the read was
        // out; the reply has no place in the image. The read ends unreported.
        GiveBack();
        return;
    }
    const std::uint32_t offset = OffsetOf(r, module, block);
    std::uint8_t* first = ImageOf(*this, r.image) + offset;

    if (!r.recordSize) {
        // Given back first, so that a handler of the event may chain the next read.
        GiveBack();
        StoreReply(first, r.bytes, length, buffer);
        r.raise(*this, first);
        return;
    }

    // Two halves of eight records. A short half stores the whole records it
    // carries; the records it lacks keep what they held.
    const int n = RecordsOf(r, length);
    switch (StepCounter) {
        case 0:
            StepCounter = 1;
            if (n > 0) std::memcpy(first, buffer, static_cast<std::size_t>(n) * r.recordSize);
            if (!ReadFlashLarge(FlashAddressMap[r.area] + offset + r.bytes, r.bytes, CheckOf(r))) GiveBack();
            return;
        case 1:
            if (n > 0) std::memcpy(first + r.bytes, buffer, static_cast<std::size_t>(n) * r.recordSize);
            GiveBack();
            r.raise(*this, first);
            return;
        default: return;
    }
}

void TPublicNetKs_6x6::GetErrorH1() { StartLogRead<&C::ReceiveErrorH1>(LogPiece::ErrorH1, 0, 0); }
void TPublicNetKs_6x6::GetErrorH1V2() { StartLogRead<&C::ReceiveErrorH1V2>(LogPiece::ErrorH1V2, 0, 0); }
void TPublicNetKs_6x6::GetErrorH6(std::int8_t module) {
    StartLogRead<&C::ReceiveErrorH6>(LogPiece::ErrorH6, module, 0);
}
void TPublicNetKs_6x6::GetErrorH6V2(std::int8_t module) {
    StartLogRead<&C::ReceiveErrorH6V2>(LogPiece::ErrorH6V2, module, 0);
}
void TPublicNetKs_6x6::GetErr1(std::int8_t block) { StartLogRead<&C::ReceiveErr1>(LogPiece::Err1, 0, block); }
void TPublicNetKs_6x6::GetErr1V2(std::int8_t block) { StartLogRead<&C::ReceiveErr1V2>(LogPiece::Err1V2, 0, block); }
void TPublicNetKs_6x6::GetErr6(std::int8_t module, std::int8_t block) {
    StartLogRead<&C::ReceiveErr6>(LogPiece::Err6, module, block);
}
void TPublicNetKs_6x6::GetErr6V2(std::int8_t module, std::int8_t block) {
    StartLogRead<&C::ReceiveErr6V2>(LogPiece::Err6V2, module, block);
}
void TPublicNetKs_6x6::GetEditH1(std::int8_t module) { StartLogRead<&C::ReceiveEditH1>(LogPiece::EditH1, module, 0); }
void TPublicNetKs_6x6::GetEditH1V2(std::int8_t module) {
    StartLogRead<&C::ReceiveEditH1V2>(LogPiece::EditH1V2, module, 0);
}
void TPublicNetKs_6x6::GetEdit(std::int8_t module) { StartLogRead<&C::ReceiveEdit>(LogPiece::Edit, module, 0); }
void TPublicNetKs_6x6::GetEditV2(std::int8_t module) { StartLogRead<&C::ReceiveEditV2>(LogPiece::EditV2, module, 0); }

void TPublicNetKs_6x6::ReceiveErrorH1(short Length, char* Buffer) { ReceiveLogRead(LogPiece::ErrorH1, Length, Buffer); }
void TPublicNetKs_6x6::ReceiveErrorH1V2(short Length, char* Buffer) {
    ReceiveLogRead(LogPiece::ErrorH1V2, Length, Buffer);
}
void TPublicNetKs_6x6::ReceiveErrorH6(short Length, char* Buffer) { ReceiveLogRead(LogPiece::ErrorH6, Length, Buffer); }
void TPublicNetKs_6x6::ReceiveErrorH6V2(short Length, char* Buffer) {
    ReceiveLogRead(LogPiece::ErrorH6V2, Length, Buffer);
}
void TPublicNetKs_6x6::ReceiveErr1(short Length, char* Buffer) { ReceiveLogRead(LogPiece::Err1, Length, Buffer); }
void TPublicNetKs_6x6::ReceiveErr1V2(short Length, char* Buffer) { ReceiveLogRead(LogPiece::Err1V2, Length, Buffer); }
void TPublicNetKs_6x6::ReceiveErr6(short Length, char* Buffer) { ReceiveLogRead(LogPiece::Err6, Length, Buffer); }
void TPublicNetKs_6x6::ReceiveErr6V2(short Length, char* Buffer) { ReceiveLogRead(LogPiece::Err6V2, Length, Buffer); }
void TPublicNetKs_6x6::ReceiveEditH1(short Length, char* Buffer) { ReceiveLogRead(LogPiece::EditH1, Length, Buffer); }
void TPublicNetKs_6x6::ReceiveEditH1V2(short Length, char* Buffer) {
    ReceiveLogRead(LogPiece::EditH1V2, Length, Buffer);
}
void TPublicNetKs_6x6::ReceiveEdit(short Length, char* Buffer) { ReceiveLogRead(LogPiece::Edit, Length, Buffer); }
void TPublicNetKs_6x6::ReceiveEditV2(short Length, char* Buffer) { ReceiveLogRead(LogPiece::EditV2, Length, Buffer); }

void TPublicNetKs_6x6::ClearSetChecEditCounter() {
    Borrow<&C::ReceiveClearSetChecEditCounter>();
    if (!WriteFlashLarge(FlashAddressMap[AddrEditCounter], kEditCounterBytes, ZeroBuffer)) GiveBack();
}

void TPublicNetKs_6x6::ReceiveClearSetChecEditCounter(short Length, char* Buffer) {
    GiveBack();
    // The meter acknowledges a write with one byte, handed on whatever it is.
    const char answer = Length > 0 && Buffer ? Buffer[0] : 0;
    if (OnClearSetChecEditCounter) OnClearSetChecEditCounter(answer);
}

}  // namespace q31
