// One row of the request table: everything that tells one request from the
// others. The session runs every request the same way (argument checks,
// identification, serial-number check, the row's component calls one after
// the other, the row's copy-out, delivery); only the row differs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "meter/TPublicNetKs_6x6.h"
#include "plugin/RequestCodes.h"
#include "plugin/ResultShape.h"

namespace q31 {

class MeterSession;

// The numbers a request accepts; {0, 0}: the request takes none.
struct ArgRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    constexpr bool Used() const { return last != 0; }
    constexpr bool Accepts(std::uint32_t n) const { return !Used() || (n >= first && n <= last); }
};

// Where a request keeps its numbers (number - 1) for its continuations.
enum class ArgKeep : std::uint8_t {
    None,
    ModuleIndex,  // ModuleIndex
    ArchiveArgs,  // ArhiveModule and ArhiveStart (the start is kept whole)
    ReqNumbers,   // ReqNumber and ReqNumber2
};

// One archive series: where its field lies in a record and how it is read.
enum class Ring : std::uint8_t { Hours, Days };
using ArrayRead = void (TPublicNetKs_6x6::*)(std::uint32_t, std::uint32_t, std::int32_t, std::int32_t);
template <typename T>
using ArrayEventMember = TPublicNetKs_6x6::ArrayEvent<T> TPublicNetKs_6x6::*;
struct SeriesLayout {
    std::uint16_t fieldOffset = 0;  // of module 1's field
    std::uint8_t moduleStep = 0;    // bytes from one module's field to the next; 0: one field per record
    Ring ring = Ring::Hours;
    std::uint8_t valueBytes = 0;  // 4: Values32, 8: Values64
    ArrayRead read = nullptr;
    // The event that ends the read: the one of its value width, the other null.
    ArrayEventMember<std::int32_t> done32 = nullptr;
    ArrayEventMember<std::int64_t> done64 = nullptr;
};

// A step of a request: issues one component command (or one chain of the
// component's own) and binds the event that ends it.
using SessionStep = void (MeterSession::*)();
inline constexpr int kMaxSteps = 3;

struct RequestRow {
    RequestId id;
    std::int32_t code;  // the request code its delivery sets
    bool checksSerial;  // false only for the identification itself
    bool setsRamBase;   // the module-block requests and the counters
    ArgRange first;
    ArgRange second;
    ArgKeep keep;
    SessionStep steps[kMaxSteps];  // after the serial-number check; unused ones are null
    SessionStep copyOut;           // assembles the host record at delivery; null when the step did
    ResultShape shape;
    SlotMember slot;      // the host callback of the slot record; one the shape calls
    SeriesLayout series;  // archive series only
};

// The table: one row per request, in RequestId order.
const RequestRow& RequestRowOf(RequestId id);
// The row whose delivery sets `code`; null for codes no request sets (100 included).
const RequestRow* RequestRowForCode(std::int32_t code);

}  // namespace q31
