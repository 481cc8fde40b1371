#include "tools/q31/cli/LineScan.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>

namespace q31::tool {

namespace {

// Bytes that came during an address's wait and were no answer may belong to
// it or to the addresses this many before it.
constexpr int kStrayReach = 2;
// Each quick probe waits its send delay on top of the scan time-out.
constexpr int kSendDelayMs = 10;
// Looks at a named address while replies come but are damaged or disagree:
// a meter on a noisy line is still found.
constexpr int kSureTries = 3;

bool Same(const SDevIdent& a, const SDevIdent& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class Scanner {
public:
    Scanner(ScanLink& link, const ScanPlan& plan) : link_(link), plan_(plan) {}

    std::vector<ScanHit> Run(const std::function<void(int)>& progress) {
        for (int address = plan_.from; address <= plan_.to; ++address) {
            const ScanLink::Probe probe =
                link_.Identify(static_cast<std::uint8_t>(address), plan_.scanTimeoutMs, false);
            if (probe.ident) named_[address] = probe.ident;
            if (probe.stray) {
                for (int k = 0; k <= kStrayReach && address - k >= plan_.from; ++k)
                    named_.emplace(address - k, std::nullopt);
            }
            if (progress) progress(address - plan_.from + 1);
        }
        if (named_.empty()) return {};
        link_.WaitQuiet(2 * plan_.scanTimeoutMs);
        for (const auto& [address, quick] : named_) {
            const std::optional<SDevIdent> sure = Sure(address);
            if (quick && !(sure && Same(*quick, *sure))) TraceBack(address, *quick);
        }
        std::vector<ScanHit> found;
        for (const auto& [address, ident] : found_) found.push_back({address, ident});
        return found;
    }

private:
    // The identity at `address` looked at the sure way (once per address).
    std::optional<SDevIdent> Sure(int address) {
        if (checked_.count(address)) {
            const auto it = found_.find(address);
            return it == found_.end() ? std::nullopt : std::optional<SDevIdent>(it->second);
        }
        checked_.insert(address);
        ScanLink::Probe probe;
        for (int t = 0; t < kSureTries && (t == 0 || (!probe.ident && probe.stray)); ++t)
            probe = link_.Identify(static_cast<std::uint8_t>(address), plan_.replyTimeoutMs, true);
        if (probe.ident) found_[address] = *probe.ident;
        return probe.ident;
    }

    // `quick` was taken at `address` but is not what answers there: a meter
    // before it answered late. Looks back until the meter that sent it is
    // found, as far back as an answer within the reply time-out can reach.
    void TraceBack(int address, const SDevIdent& quick) {
        const int perAddress = plan_.scanTimeoutMs + kSendDelayMs;
        const int reach = std::max(kStrayReach, (plan_.replyTimeoutMs + perAddress - 1) / perAddress);
        for (int b = address - 1; b >= plan_.from && b >= address - reach; --b) {
            const std::optional<SDevIdent> sure = Sure(b);
            if (sure && Same(*sure, quick)) return;
        }
    }

    ScanLink& link_;
    const ScanPlan& plan_;
    // The addresses to look at again, with what the quick pass took there.
    std::map<int, std::optional<SDevIdent>> named_;
    std::set<int> checked_;
    std::map<int, SDevIdent> found_;
};

}  // namespace

std::vector<ScanHit> ScanLine(ScanLink& link, const ScanPlan& plan, const std::function<void(int asked)>& progress) {
    return Scanner(link, plan).Run(progress);
}

}  // namespace q31::tool
