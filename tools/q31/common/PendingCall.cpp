#include "tools/q31/common/PendingCall.h"

#include <algorithm>

namespace q31::tool {

void PendingCall::Reset() {
    done_ = false;
    result_ = {};
    data_.clear();
    count_ = size_ = 0;
}

void PendingCall::Finish(const q31_result* r, const void* data, std::size_t bytes, std::uint32_t count,
                         std::uint32_t size) {
    result_ = *r;
    if (r->status == Q31_OK && data && bytes) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        data_.assign(p, p + bytes);
    }
    count_ = count;
    size_ = size;
    done_ = true;
}

std::vector<std::int64_t> PendingCall::Values() const {
    std::vector<std::int64_t> values;
    if (size_ != 4 && size_ != 8) return values;
    values.reserve(count_);
    for (std::size_t at = 0; values.size() < count_ && at + size_ <= data_.size(); at += size_) {
        if (size_ == 8) {
            std::int64_t v = 0;
            std::memcpy(&v, &data_[at], 8);
            values.push_back(v);
        } else {
            std::int32_t v = 0;
            std::memcpy(&v, &data_[at], 4);
            values.push_back(v);
        }
    }
    return values;
}

std::vector<std::uint16_t> PendingCall::Words() const {
    std::vector<std::uint16_t> words(std::min<std::size_t>(count_, data_.size() / 2));
    if (!words.empty()) std::memcpy(words.data(), data_.data(), words.size() * 2);
    return words;
}

namespace {
PendingCall& Of(void* user) { return *static_cast<PendingCall*>(user); }
}  // namespace

void Q31_CALL PendingCall::OnIdent(const q31_result* r, const SDevIdent* ident, void* user) {
    Of(user).Finish(r, ident, sizeof *ident, 1, sizeof *ident);
}
void Q31_CALL PendingCall::OnCount(const q31_result* r, std::uint32_t count, void* user) {
    Of(user).Finish(r, nullptr, 0, count, 0);
}
void Q31_CALL PendingCall::OnModule(const q31_result* r, const SModuleRecord* record, void* user) {
    Of(user).Finish(r, record, sizeof *record, 1, sizeof *record);
}
void Q31_CALL PendingCall::OnCurrent(const q31_result* r, const SCurrentData* data, void* user) {
    Of(user).Finish(r, data, sizeof *data, 1, sizeof *data);
}
void Q31_CALL PendingCall::OnTotals(const q31_result* r, const SAccumulatedData* data, void* user) {
    Of(user).Finish(r, data, sizeof *data, 1, sizeof *data);
}
void Q31_CALL PendingCall::OnCounters(const q31_result* r, const SArhiveCount* counters, void* user) {
    Of(user).Finish(r, counters, sizeof *counters, 1, sizeof *counters);
}
void Q31_CALL PendingCall::OnSeries(const q31_result* r, const void* values, std::uint32_t count, std::uint32_t size,
                                    void* user) {
    Of(user).Finish(r, values, static_cast<std::size_t>(count) * size, count, size);
}
void Q31_CALL PendingCall::OnBytes(const q31_result* r, const std::uint8_t* bytes, std::uint32_t length, void* user) {
    Of(user).Finish(r, bytes, length, length, 1);
}
void Q31_CALL PendingCall::OnWords(const q31_result* r, const std::uint16_t* words, std::uint32_t count, void* user) {
    Of(user).Finish(r, words, static_cast<std::size_t>(count) * sizeof *words, count, sizeof *words);
}
void Q31_CALL PendingCall::OnRecords(const q31_result* r, const std::uint8_t* records, std::uint32_t count,
                                     std::uint32_t size, void* user) {
    Of(user).Finish(r, records, static_cast<std::size_t>(count) * size, count, size);
}

}  // namespace q31::tool
