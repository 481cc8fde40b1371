// Everything the meters of a virtual bus ever wrote, overwritten records
// included: the truth a reader's stored values are compared with.
//
// Archive records are kept by number and era; their values follow from
// those (ArchiveFieldValue), so an entry stays small however long the bus
// runs. The history grows without bound on purpose: it is the record of the
// whole run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/ArchiveContent.h"

namespace q31::sim {

enum class HistoryKind : std::uint8_t { Hour, Day, Error, Edit, Swap, Reset };

struct HistoryEntry {
    double at = 0;  // simulated seconds since the bus began
    std::uint8_t address = 0;
    std::uint32_t serial = 0;  // of the meter that wrote it (Swap: the new meter)
    HistoryKind kind = HistoryKind::Hour;
    // Hour, Day: already in the ring when the meter was made, reset or put in.
    bool initial = false;
    // Hour, Day: the record number; Error, Edit: the entry's number in its
    // log (1, 2, ...); Swap: the serial number taken out; Reset: hourly records kept.
    std::uint32_t number = 0;
    std::uint32_t era = 0;            // Hour, Day: the archive run; Reset: daily records kept
    int owner = 0;                    // Error, Edit: kDeviceLog or a module 0..7
    int position = 0;                 // Error, Edit: where the record lies in the log
    std::vector<std::uint8_t> bytes;  // Error, Edit: the record
};

class MeterHistory {
public:
    // Called with every entry added; set late, it first sees those already there.
    using Sink = std::function<void(const HistoryEntry&)>;

    void Add(HistoryEntry entry);
    void SetSink(Sink sink);

    const std::vector<HistoryEntry>& All() const { return entries_; }
    // The entries of one meter, by serial number, in the order written.
    std::vector<HistoryEntry> Of(std::uint32_t serial) const;
    // Every value record `number` of `ring` ever held on the meter `serial`,
    // oldest first (more than one after a reset wrote the number again).
    std::vector<std::uint64_t> Values(std::uint32_t serial, ArchiveRing ring, ArchiveField field, int module,
                                      std::uint32_t number) const;

    // A field of an archive entry, as many low bytes as the field has.
    static std::uint64_t Value(const HistoryEntry& entry, ArchiveField field, int module);
    // One JSON object on one line, values signed as a collector stores them.
    static std::string JsonLine(const HistoryEntry& entry);

private:
    std::vector<HistoryEntry> entries_;
    Sink sink_;
};

}  // namespace q31::sim
