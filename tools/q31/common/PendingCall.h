// A request of the plug-in's context API whose end is awaited: one callback
// for every kind of result, each keeping how the request ended and a copy of
// its data, and that data read back as the type the plug-in handed over.
// The callbacks take the PendingCall as their `user` pointer.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "publicQ31.h"

namespace q31::tool {

class PendingCall {
public:
    // Forgets the last request's end; call before starting the next one.
    void Reset();

    bool Done() const { return done_; }
    const q31_result& Result() const { return result_; }
    // Items the request delivered (records, words, values) and their size.
    std::uint32_t Count() const { return count_; }
    std::uint32_t Size() const { return size_; }
    const std::vector<std::uint8_t>& Bytes() const { return data_; }

    // The data as the structure the plug-in handed over; whatever a short
    // delivery lacks stays zero.
    template <typename T>
    T As() const {
        T out{};
        std::memcpy(&out, data_.data(), data_.size() < sizeof out ? data_.size() : sizeof out);
        return out;
    }
    // A series' values, oldest first, widened to 64 bits.
    std::vector<std::int64_t> Values() const;
    std::vector<std::uint16_t> Words() const;

    static void Q31_CALL OnIdent(const q31_result* r, const SDevIdent* ident, void* user);
    static void Q31_CALL OnCount(const q31_result* r, std::uint32_t count, void* user);
    static void Q31_CALL OnModule(const q31_result* r, const SModuleRecord* record, void* user);
    static void Q31_CALL OnCurrent(const q31_result* r, const SCurrentData* data, void* user);
    static void Q31_CALL OnTotals(const q31_result* r, const SAccumulatedData* data, void* user);
    static void Q31_CALL OnCounters(const q31_result* r, const SArhiveCount* counters, void* user);
    static void Q31_CALL OnSeries(const q31_result* r, const void* values, std::uint32_t count, std::uint32_t size,
                                  void* user);
    static void Q31_CALL OnWords(const q31_result* r, const std::uint16_t* words, std::uint32_t count, void* user);
    static void Q31_CALL OnBytes(const q31_result* r, const std::uint8_t* bytes, std::uint32_t length, void* user);
    static void Q31_CALL OnRecords(const q31_result* r, const std::uint8_t* records, std::uint32_t count,
                                   std::uint32_t size, void* user);

private:
    // Keeps how the request ended and `bytes` of its data.
    void Finish(const q31_result* r, const void* data, std::size_t bytes, std::uint32_t count, std::uint32_t size);

    bool done_ = false;
    q31_result result_{};
    std::vector<std::uint8_t> data_;
    std::uint32_t count_ = 0;
    std::uint32_t size_ = 0;
};

}  // namespace q31::tool
