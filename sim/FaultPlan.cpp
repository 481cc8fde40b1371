#include "sim/FaultPlan.h"

#include <algorithm>
#include <utility>

#include "sim/SimFrame.h"

namespace q31::sim {

FaultPlan::FaultPlan(std::uint64_t seed) : random_(seed ^ 0xFA017FA017FA017Full) {}

void FaultPlan::Schedule(std::uint64_t first, std::uint64_t last, Fault fault) {
    if (last < first) return;
    scheduled_.push_back({first, last, fault});
}

void FaultPlan::SetRate(FaultKind kind, double probability, int param) {
    const auto i = static_cast<std::size_t>(kind);
    if (i >= rates_.size()) return;
    rates_[i] = {std::clamp(probability, 0.0, 1.0), param};
}

void FaultPlan::Clear() {
    scheduled_.clear();
    rates_ = {};
}

std::vector<Fault> FaultPlan::Take(std::uint64_t number) {
    std::vector<Fault> out;
    std::erase_if(scheduled_, [number](const Scheduled& s) { return s.last < number; });
    for (const Scheduled& s : scheduled_) {
        if (s.first <= number) out.push_back(s.fault);
    }
    for (std::size_t i = 0; i < rates_.size(); ++i) {
        // Draw only for kinds that are on, so switching one rate on does not
        // shift the draws of a run that uses none.
        if (rates_[i].probability > 0 && random_.Unit() < rates_[i].probability) {
            out.push_back({static_cast<FaultKind>(i), rates_[i].param});
        }
    }
    return out;
}

int FaultPlan::Apply(const std::vector<Fault>& faults, std::vector<std::uint8_t>& reply, bool framed) {
    int delay = 0;
    // Address and checksum first: corruption and truncation then act on the
    // bytes as the line would carry them.
    for (const Fault& f : faults) {
        if (f.kind == FaultKind::WrongAddress && framed && reply.size() >= 5) {
            reply[0] ^= 0x01;
            const std::size_t sumAt = reply.size() - 2;
            PutU16(&reply[sumAt], Checksum(std::span(reply).first(sumAt)));
        }
    }
    for (const Fault& f : faults) {
        if (f.kind == FaultKind::BadChecksum && framed && reply.size() >= 5) {
            reply[reply.size() - 2] ^= 0xFF;
        }
    }
    for (const Fault& f : faults) {
        // [master][L][payload][further byte][sum lo][sum hi]: only the payload.
        if (f.kind == FaultKind::BlindCorrupt && framed && reply.size() >= 7) {
            const std::size_t payload = reply.size() - 5;
            for (int attempt = 0; attempt < 16; ++attempt) {
                const auto i = 2 + static_cast<std::size_t>(random_.Below(payload));
                const auto j = 2 + static_cast<std::size_t>(random_.Below(payload));
                if (reply[i] != reply[j]) {
                    std::swap(reply[i], reply[j]);
                    break;
                }
            }
        }
    }
    for (const Fault& f : faults) {
        if (f.kind == FaultKind::Corrupt && !reply.empty()) {
            const int count = f.param > 0 ? f.param : 1;
            for (int i = 0; i < count; ++i) {
                const auto at = static_cast<std::size_t>(random_.Below(reply.size()));
                reply[at] ^= static_cast<std::uint8_t>(1 + random_.Below(255));
            }
        }
    }
    for (const Fault& f : faults) {
        if (f.kind == FaultKind::ShortReply || f.kind == FaultKind::Drop) {
            const std::size_t keep = f.param > 0 ? static_cast<std::size_t>(f.param) : reply.size() / 2;
            if (keep < reply.size()) reply.resize(keep);
        }
    }
    for (const Fault& f : faults) {
        if (f.kind == FaultKind::Delay && f.param > delay) delay = f.param;
        if (f.kind == FaultKind::Silence) reply.clear();
    }
    return reply.empty() ? 0 : delay;
}

}  // namespace q31::sim
