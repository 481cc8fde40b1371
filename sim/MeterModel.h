// The virtual meter itself, without any line: one complete request packet in,
// the reply bytes out.
//
// A meter of the 0x1400 family with seeded memory content (MeterContent.h),
// a table of command handlers (one per command byte), fault injection and a
// log of the last request packets. Not thread-safe: PtyMeter serialises
// access to it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "sim/FaultPlan.h"
#include "sim/MeterConfig.h"
#include "sim/MeterIdentity.h"
#include "sim/MeterMemory.h"
#include "sim/MeterReply.h"
#include "sim/MeterRequest.h"
#include "sim/MeterResponse.h"
#include "sim/RequestLog.h"
#include "sim/ServiceState.h"

namespace q31::sim {

class MeterModel;

// Handles one command: reads the request's data, changes the model as the
// command does, and says what to answer.
using CommandHandler = std::function<MeterResponse(MeterModel& meter, const MeterRequest& request)>;

class MeterModel {
public:
    explicit MeterModel(const MeterConfig& config = {});

    // One request packet, complete and alone (FrameAssembler cuts them from
    // the byte stream). A packet that is not a valid request for this meter
    // (length, address, checksum) is ignored: empty reply, requestNumber 0.
    // A valid one is numbered, logged, handled, framed and faulted.
    MeterReply Handle(std::span<const std::uint8_t> packet);

    // Command table. A handler set here replaces the built-in one; an empty
    // handler makes the meter ignore the command.
    void SetHandler(std::uint8_t command, CommandHandler handler);

    // Identity and addressing.
    std::uint8_t Address() const { return address_; }
    void SetAddress(std::uint8_t address) { address_ = address; }
    MeterIdentity& Identity() { return identity_; }
    const MeterIdentity& Identity() const { return identity_; }
    std::uint8_t AckByte() const { return ackByte_; }
    std::uint8_t FurtherByte() const { return furtherByte_; }

    // Memories and service state, free to read and change.
    MeterMemory& Memory() { return memory_; }
    const MeterMemory& Memory() const { return memory_; }
    std::span<std::uint8_t> Ram() { return memory_.Image(MemoryArea::Ram); }
    std::span<std::uint8_t> Flash() { return memory_.Image(MemoryArea::Flash); }
    std::span<std::uint8_t> F149Flash() { return memory_.Image(MemoryArea::F149Flash); }
    ServiceState& Service() { return service_; }
    const ServiceState& Service() const { return service_; }

    // The run of the archive its records belong to (ArchiveContent.h).
    std::uint32_t ArchiveEra() const { return archiveEra_; }
    void SetArchiveEra(std::uint32_t era) { archiveEra_ = era; }

    // Faults. Request numbers count accepted requests from 1.
    // The request with number `requestNumber`:
    void InjectAt(std::uint64_t requestNumber, Fault fault);
    // The next `count` requests:
    void InjectNext(Fault fault, std::uint64_t count = 1);
    // Every request with probability `probability` (0 switches it off):
    void SetFaultRate(FaultKind kind, double probability, int param = 0);
    void ClearFaults();
    // Forgets every fault and draws from `seed` afresh, so a run can give
    // each stretch of its traffic the same fault pattern on one meter.
    void ResetFaults(std::uint64_t seed);

    // Counters and log.
    std::uint64_t RequestCount() const { return requests_; }     // valid requests accepted
    std::uint64_t UnhandledCount() const { return unhandled_; }  // accepted, but no handler / malformed data
    const RequestLog& Log() const { return log_; }
    RequestLog& Log() { return log_; }

private:
    std::uint8_t address_;
    std::uint8_t ackByte_;
    std::uint8_t furtherByte_;
    MeterIdentity identity_;
    MeterMemory memory_;
    ServiceState service_;
    FaultPlan faults_;
    RequestLog log_;
    std::array<CommandHandler, 256> handlers_;
    std::uint32_t archiveEra_ = 0;
    std::uint64_t requests_ = 0;
    std::uint64_t unhandled_ = 0;
};

}  // namespace q31::sim
