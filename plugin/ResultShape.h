// What a request hands its host, by shape: the data its result points to,
// the slot callback of the legacy form and the callback of the context API
// that take it, and how each of them is called. VisitResult is the one place
// where a shape known only at run time becomes these types; the legacy form,
// the session and the context API all deliver through it.
#pragma once

#include <cstdint>
#include <type_traits>
#include <variant>

#include "publicQ31.h"

namespace q31 {

// What the host is handed, which also names the buffer it points into.
enum class ResultShape : std::uint8_t {
    Ident,        // DevIdent
    ModuleCount,  // one byte of ModuleBlock
    ModuleRecord,
    CurrentData,
    AccumulatedData,
    ArchiveCount,
    Values32,         // Values32 and ValueCount
    Values64,         // Values64 and ValueCount
    ErrorHeadDev,     // 8 words
    ErrorHeadModule,  // 6 words
    ErrorRecords,     // 16 records of 8 bytes
    EditHead,         // 1 word, passed without a count
    EditRecords,      // 16 records of 16 bytes
};

// The data of a delivered result: where it lies and its count. No data: the
// result has nothing to hand on.
struct ResultView {
    const void* data = nullptr;
    std::uint32_t count = 0;
};

// A slot callback named by its member of the slot record; the alternative it
// holds is the callback's type, and so the shape it can take. The slot record
// is frozen: a request that came after it has none (std::monostate) and
// reaches hosts through the context API alone.
using SlotMember =
    std::variant<std::monostate, TQ31OnID TQ31Slot::*, TQ31OnModuleCount TQ31Slot::*, TQ31OnModuleRecord TQ31Slot::*,
                 TQ31OnCurrentData TQ31Slot::*, TQ31OnAccumulatedData TQ31Slot::*, TQ31OnArhiveCount TQ31Slot::*,
                 TQ31OnArhive32 TQ31Slot::*, TQ31OnArhive64 TQ31Slot::*, TQ31OnLogWords TQ31Slot::*,
                 TQ31OnLogRecords TQ31Slot::*, TQ31OnEditHead TQ31Slot::*>;

// A context-API callback whose type the request's shape tells; kept as the
// one function-pointer type that every other converts to and back from.
class ContextCallback {
public:
    ContextCallback() = default;
    template <typename F>
    static ContextCallback Of(F f) {
        ContextCallback c;
        c.f_ = reinterpret_cast<Erased>(f);
        return c;
    }
    template <typename F>
    F As() const {
        return reinterpret_cast<F>(f_);
    }
    explicit operator bool() const { return f_ != nullptr; }

private:
    using Erased = void (*)();
    Erased f_ = nullptr;
};

// The shapes' types and calls, and where each result lies in the session
// (In: the session is a template parameter so that this header stays below it).
template <ResultShape S>
struct Shape;

// One record, handed alone.
template <typename D, typename SlotCb, typename ContextCb>
struct RecordShape {
    using Data = D;
    using Slot = SlotCb;
    using Context = ContextCb;
    static void ToSlot(Slot f, Data* data, std::uint32_t) { f(data); }
    static void ToContext(Context f, const q31_result* r, const Data* data, std::uint32_t, void* user) {
        f(r, data, user);
    }
};

// Values, words or records with their count; the context API is also told
// the size of one (0: it is not told).
template <typename D, typename SlotCb, typename ContextCb, std::uint32_t Size>
struct CountedShape {
    using Data = D;
    using Slot = SlotCb;
    using Context = ContextCb;
    static void ToSlot(Slot f, Data* data, std::uint32_t count) { f(data, count); }
    static void ToContext(Context f, const q31_result* r, const Data* data, std::uint32_t count, void* user) {
        if constexpr (Size == 0) f(r, data, count, user);
        else f(r, data, count, Size, user);
    }
};

template <>
struct Shape<ResultShape::Ident> : RecordShape<SDevIdent, TQ31OnID, q31_ident_cb> {
    template <typename Session>
    static ResultView In(const Session& s) {
        return {&s.DevIdent, 0};
    }
};
template <>
struct Shape<ResultShape::ModuleRecord> : RecordShape<SModuleRecord, TQ31OnModuleRecord, q31_module_record_cb> {
    // Only a module the request accepted has a record to hand on.
    template <typename Session>
    static ResultView In(const Session& s) {
        return s.ModuleIndex >= 0 && s.ModuleIndex <= 5 ? ResultView{&s.ModuleRecord, 1} : ResultView{};
    }
};
template <>
struct Shape<ResultShape::CurrentData> : RecordShape<SCurrentData, TQ31OnCurrentData, q31_current_data_cb> {
    template <typename Session>
    static ResultView In(const Session& s) {
        return {&s.CurrentRecord, 1};
    }
};
template <>
struct Shape<ResultShape::AccumulatedData>
    : RecordShape<SAccumulatedData, TQ31OnAccumulatedData, q31_accumulated_data_cb> {
    template <typename Session>
    static ResultView In(const Session& s) {
        return {&s.AccumulatedRecord, 1};
    }
};
template <>
struct Shape<ResultShape::ArchiveCount> : RecordShape<SArhiveCount, TQ31OnArhiveCount, q31_archive_count_cb> {
    template <typename Session>
    static ResultView In(const Session& s) {
        return {&s.ArhiveCountRecord, 1};
    }
};
template <>
struct Shape<ResultShape::Values32> : CountedShape<std::int32_t, TQ31OnArhive32, q31_series_cb, 4> {
    template <typename Session>
    static ResultView In(const Session& s) {
        return {s.Values32, s.ValueCount};
    }
};
template <>
struct Shape<ResultShape::Values64> : CountedShape<std::int64_t, TQ31OnArhive64, q31_series_cb, 8> {
    template <typename Session>
    static ResultView In(const Session& s) {
        return {s.Values64, s.ValueCount};
    }
};
template <>
struct Shape<ResultShape::ErrorHeadDev> : CountedShape<std::uint16_t, TQ31OnLogWords, q31_words_cb, 0> {
    template <typename Session>
    static ResultView In(const Session& s) {
        return {s.ErrorHeadDev, 8};
    }
};
template <>
struct Shape<ResultShape::ErrorHeadModule> : CountedShape<std::uint16_t, TQ31OnLogWords, q31_words_cb, 0> {
    template <typename Session>
    static ResultView In(const Session& s) {
        return {s.ErrorHeadModule, 6};
    }
};
template <>
struct Shape<ResultShape::ErrorRecords> : CountedShape<std::uint8_t, TQ31OnLogRecords, q31_records_cb, 8> {
    template <typename Session>
    static ResultView In(const Session& s) {
        return {s.ErrorRecords, 16};
    }
};
template <>
struct Shape<ResultShape::EditRecords> : CountedShape<std::uint8_t, TQ31OnLogRecords, q31_records_cb, 16> {
    template <typename Session>
    static ResultView In(const Session& s) {
        return {s.EditRecords, 16};
    }
};

// The module count is the count alone; the data is the byte it was read from.
template <>
struct Shape<ResultShape::ModuleCount> {
    using Data = std::uint8_t;
    using Slot = TQ31OnModuleCount;
    using Context = q31_count_cb;
    // The count is the byte at this offset of the module block.
    template <typename Session>
    static ResultView In(const Session& s) {
        constexpr int kModuleCountAt = 35;
        return {s.ModuleBlock + kModuleCountAt, s.ModuleBlock[kModuleCountAt]};
    }
    static void ToSlot(Slot f, Data*, std::uint32_t count) { f(count); }
    static void ToContext(Context f, const q31_result* r, const Data*, std::uint32_t count, void* user) {
        f(r, count, user);
    }
};

// The edit head is one word: the slot callback takes it without a count, the
// context API as words like the other heads.
template <>
struct Shape<ResultShape::EditHead> {
    using Data = std::uint16_t;
    using Slot = TQ31OnEditHead;
    using Context = q31_words_cb;
    template <typename Session>
    static ResultView In(const Session& s) {
        return {&s.EditHeadModule, 1};
    }
    static void ToSlot(Slot f, Data* data, std::uint32_t) { f(data); }
    static void ToContext(Context f, const q31_result* r, const Data* data, std::uint32_t count, void* user) {
        f(r, data, count, user);
    }
};

// Calls f(Shape<S>{}) for the shape S that `shape` names and returns what it returns.
template <typename F>
constexpr decltype(auto) VisitShape(ResultShape shape, F&& f) {
    switch (shape) {
        case ResultShape::Ident: return f(Shape<ResultShape::Ident>{});
        case ResultShape::ModuleCount: return f(Shape<ResultShape::ModuleCount>{});
        case ResultShape::ModuleRecord: return f(Shape<ResultShape::ModuleRecord>{});
        case ResultShape::CurrentData: return f(Shape<ResultShape::CurrentData>{});
        case ResultShape::AccumulatedData: return f(Shape<ResultShape::AccumulatedData>{});
        case ResultShape::ArchiveCount: return f(Shape<ResultShape::ArchiveCount>{});
        case ResultShape::Values32: return f(Shape<ResultShape::Values32>{});
        case ResultShape::Values64: return f(Shape<ResultShape::Values64>{});
        case ResultShape::ErrorHeadDev: return f(Shape<ResultShape::ErrorHeadDev>{});
        case ResultShape::ErrorHeadModule: return f(Shape<ResultShape::ErrorHeadModule>{});
        case ResultShape::ErrorRecords: return f(Shape<ResultShape::ErrorRecords>{});
        case ResultShape::EditHead: return f(Shape<ResultShape::EditHead>{});
        case ResultShape::EditRecords: break;
    }
    return f(Shape<ResultShape::EditRecords>{});
}

// Calls f(Shape<S>{}, data, count) with the view's data typed as its shape's.
template <typename F>
void VisitResult(ResultShape shape, const ResultView& view, F&& f) {
    VisitShape(shape, [&](auto s) {
        using Data = typename decltype(s)::Data;
        f(s, static_cast<Data*>(const_cast<void*>(view.data)), view.count);
    });
}

// The slot callback of `slot`, if any, is one that `shape` calls.
constexpr bool SlotFits(ResultShape shape, const SlotMember& slot) {
    return VisitShape(shape, [&](auto s) {
        return std::holds_alternative<std::monostate>(slot) ||
               std::holds_alternative<typename decltype(s)::Slot TQ31Slot::*>(slot);
    });
}

}  // namespace q31
