// One row of the request table: everything that tells one request from the
// others. The session runs every request the same way (argument checks,
// identification, serial-number check, the row's component calls one after
// the other, the row's copy-out, delivery); only the row differs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "meter/TPublicNetKs_6x6.h"
#include "plugin/RequestCodes.h"

namespace q31 {

class MeterSession;

// The numbers a request accepts; {0, 0}: the request takes none.
struct ArgRange {
    std::uint8_t first = 0;
    std::uint8_t last = 0;
    constexpr bool Used() const { return last != 0; }
    constexpr bool Accepts(std::uint32_t n) const { return !Used() || (n >= first && n <= last); }
};

// Where a request keeps its numbers (number - 1) for its continuations.
enum class ArgKeep : std::uint8_t {
    None,
    ModuleIndex,  // ModuleIndex
    ArhiveArgs,   // ArhiveModule and ArhiveStart (the start is kept whole)
    ReqNumbers,   // ReqNumber and ReqNumber2
};

// What the host is handed, which also names the buffer it points into.
enum class ResultShape : std::uint8_t {
    Ident,        // DevIdent
    ModuleCount,  // one byte of ModuleBlock
    ModuleRecord,
    CurrentData,
    AccumulatedData,
    ArhiveCount,
    Values32,         // Values32 and ValueCount
    Values64,         // Values64 and ValueCount
    ErrorHeadDev,     // 8 words
    ErrorHeadModule,  // 6 words
    ErrorRecords,     // 16 records of 8 bytes
    EditHead,         // 1 word, passed without a count
    EditRecords,      // 16 records of 16 bytes
};

// One archive series: where its field lies in a record and how it is read.
enum class Ring : std::uint8_t { Hours, Days };
using ArrayRead = void (TPublicNetKs_6x6::*)(std::uint32_t, std::uint32_t, std::int32_t, std::int32_t);
struct SeriesSpec {
    std::uint16_t fieldOffset = 0;  // of module 1's field
    std::uint8_t moduleStep = 0;    // bytes from one module's field to the next; 0: one field per record
    Ring ring = Ring::Hours;
    std::uint8_t valueBytes = 0;  // 4: Values32, 8: Values64
    ArrayRead read = nullptr;
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
    std::size_t slotCallback;  // offset of the host callback in the slot record
    SeriesSpec series;         // archive series only
};

// The table: one row per request, in RequestId order.
const RequestRow& RequestRowOf(RequestId id);
// The row whose delivery sets `code`; null for codes no request sets (100 included).
const RequestRow* RequestRowForCode(std::int32_t code);

}  // namespace q31
