#include "sim/SimBus.h"

#include <algorithm>

#include "sim/LogContent.h"

namespace q31::sim {

namespace {

constexpr double kHour = 3600;
constexpr std::uint8_t kArchiveRead = 0x90;
// Chances per hour: an error somewhere now and then, an edit more seldom.
constexpr std::uint64_t kErrorOneIn = 6;
constexpr std::uint64_t kEditOneIn = 12;

}  // namespace

SimBus::SimBus(const BusPlan& plan) : events_(plan.events), writeDuringReads_(plan.writeDuringReads) {
    std::stable_sort(events_.begin(), events_.end(), [](const BusEvent& a, const BusEvent& b) { return a.at < b.at; });
    meters_.reserve(plan.meters.size());
    for (const BusMeterPlan& p : plan.meters) {
        // Two plans at one address would answer together: the first keeps it.
        if (Find(p.meter.address)) continue;
        meters_.emplace_back();
        meters_.back().plan = p;
        Make(meters_.back(), 0);
    }
}

void SimBus::Make(Meter& meter, std::uint32_t era) {
    if (meter.model) retiredRequests_ += meter.model->RequestCount();
    meter.model = std::make_unique<MeterModel>(meter.plan.meter);
    for (const FaultRateOption& f : meter.plan.faults) meter.model->SetFaultRate(f.kind, f.probability, f.param);
    if (era != 0) RestartArchive(*meter.model, era, meter.plan.meter.hourCount, meter.plan.meter.dayCount);
    meter.random = SimRandom(meter.plan.meter.seed ^ 0x11FE11FE11FE11FEull);
    meter.errors = {};
    meter.edits = {};
    meter.readRun = 0;
    NoteRings(meter);
}

void SimBus::NoteRings(Meter& meter) {
    const MeterModel& m = *meter.model;
    for (ArchiveRing ring : {ArchiveRing::Hours, ArchiveRing::Days}) {
        const std::uint32_t count = ArchiveCount(m, ring);
        const std::uint32_t slots = ring == ArchiveRing::Hours ? kHourSlots : kDaySlots;
        for (std::uint32_t r = count > slots ? count - slots : 0; r < count; ++r) {
            HistoryEntry e;
            e.at = now_;
            e.address = m.Address();
            e.serial = m.Identity().serialNumber;
            e.kind = ring == ArchiveRing::Hours ? HistoryKind::Hour : HistoryKind::Day;
            e.initial = true;
            e.number = r;
            e.era = m.ArchiveEra();
            history_.Add(std::move(e));
        }
    }
}

SimBus::Meter* SimBus::Find(std::uint8_t address) {
    for (Meter& m : meters_)
        if (m.model->Address() == address) return &m;
    return nullptr;
}

MeterModel* SimBus::At(std::uint8_t address) {
    Meter* m = Find(address);
    return m ? m->model.get() : nullptr;
}

std::vector<std::uint8_t> SimBus::Addresses() const {
    std::vector<std::uint8_t> out;
    for (const Meter& m : meters_) out.push_back(m.model->Address());
    return out;
}

bool SimBus::Echoes(std::span<const std::uint8_t> packet) const {
    if (packet.empty()) return false;
    for (const Meter& m : meters_)
        if (m.model->Address() == packet[0]) return m.plan.echo;
    return false;
}

MeterReply SimBus::Handle(std::span<const std::uint8_t> packet) {
    if (packet.size() < 3 || meters_.empty()) return {};
    Meter* meter = Find(packet[0]);
    // The F149 flash write names no meter: the first on the line takes it.
    if (!meter && IsAddressedTo(packet[0], packet[2], meters_.front().model->Address())) meter = &meters_.front();
    if (!meter) return {};
    if (packet[2] == kArchiveRead) {
        ++meter->readRun;
        if (writeDuringReads_ > 0 && meter->readRun > 1 && (meter->readRun - 1) % writeDuringReads_ == 0)
            Hour(*meter, now_);
    } else {
        meter->readRun = 0;
    }
    return meter->model->Handle(packet);
}

void SimBus::AdvanceTo(double simSeconds) {
    const auto hoursUpTo = [&](double t) {
        for (Meter& m : meters_) {
            while (m.nextHourAt <= t) {
                Hour(m, m.nextHourAt);
                m.nextHourAt += kHour;
            }
        }
    };
    while (!events_.empty() && events_.front().at <= simSeconds) {
        const BusEvent e = events_.front();
        events_.erase(events_.begin());
        hoursUpTo(e.at);
        now_ = std::max(now_, e.at);
        if (e.kind == BusEvent::Kind::Swap) Swap(e.address, e.serial);
        else Reset(e.address, e.hourCount, e.dayCount);
    }
    hoursUpTo(simSeconds);
    now_ = std::max(now_, simSeconds);
}

void SimBus::Hour(Meter& meter, double at) {
    MeterModel& m = *meter.model;
    const auto note = [&](ArchiveRing ring, std::uint32_t record) {
        HistoryEntry e;
        e.at = at;
        e.address = m.Address();
        e.serial = m.Identity().serialNumber;
        e.kind = ring == ArchiveRing::Hours ? HistoryKind::Hour : HistoryKind::Day;
        e.number = record;
        e.era = m.ArchiveEra();
        history_.Add(std::move(e));
    };
    note(ArchiveRing::Hours, WriteArchiveRecord(m, ArchiveRing::Hours));
    if (++meter.hours % 24 == 0) note(ArchiveRing::Days, WriteArchiveRecord(m, ArchiveRing::Days));
    // Modules beyond the count have logs too, but no meter writes into them.
    const int modules = std::clamp<int>(meter.plan.meter.moduleCount, 1, kLogModules);
    if (meter.random.Below(kErrorOneIn) == 0) {
        const int owner = static_cast<int>(meter.random.Below(modules + 1)) - 1;
        Log(meter, HistoryKind::Error, owner, at);
    }
    if (meter.random.Below(kEditOneIn) == 0)
        Log(meter, HistoryKind::Edit, static_cast<int>(meter.random.Below(modules)), at);
}

void SimBus::Log(Meter& meter, HistoryKind kind, int owner, double at) {
    MeterModel& m = *meter.model;
    const bool error = kind == HistoryKind::Error;
    std::uint32_t& count = error ? meter.errors[owner + 1] : meter.edits[owner];
    const LogEntry entry = WriteLogEntry(m, error ? LogKind::Error : LogKind::Edit, owner, ++count, meter.hours);
    HistoryEntry e;
    e.at = at;
    e.address = m.Address();
    e.serial = m.Identity().serialNumber;
    e.kind = kind;
    e.number = count;
    e.owner = owner;
    e.position = entry.position;
    e.bytes = entry.record;
    history_.Add(std::move(e));
}

bool SimBus::Swap(std::uint8_t address, std::uint32_t serial) {
    Meter* m = Find(address);
    if (!m) return false;
    const std::uint32_t old = m->model->Identity().serialNumber;
    const std::uint32_t era = m->model->ArchiveEra() + 1;
    HistoryEntry e;
    e.at = now_;
    e.address = address;
    e.serial = serial;
    e.kind = HistoryKind::Swap;
    e.number = old;
    history_.Add(std::move(e));
    // Another meter has other content: the seed follows the serial number.
    m->plan.meter.serialNumber = serial;
    m->plan.meter.seed ^= serial;
    Make(*m, era);
    return true;
}

bool SimBus::Reset(std::uint8_t address, std::uint32_t hourCount, std::uint32_t dayCount) {
    Meter* m = Find(address);
    if (!m) return false;
    HistoryEntry e;
    e.at = now_;
    e.address = address;
    e.serial = m->model->Identity().serialNumber;
    e.kind = HistoryKind::Reset;
    e.number = hourCount;
    e.era = dayCount;
    history_.Add(std::move(e));
    RestartArchive(*m->model, m->model->ArchiveEra() + 1, hourCount, dayCount);
    NoteRings(*m);
    return true;
}

std::uint64_t SimBus::RequestCount() const {
    std::uint64_t n = retiredRequests_;
    for (const Meter& m : meters_) n += m.model->RequestCount();
    return n;
}

}  // namespace q31::sim
