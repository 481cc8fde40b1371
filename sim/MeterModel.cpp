#include "sim/MeterModel.h"

#include "sim/ArchiveContent.h"
#include "sim/GenericCommands.h"
#include "sim/LogContent.h"
#include "sim/MeasurementContent.h"
#include "sim/MeterContent.h"
#include "sim/SimFrame.h"
#include "sim/SimRandom.h"
#include "sim/TotalsContent.h"

namespace q31::sim {

MeterModel::MeterModel(const MeterConfig& config)
    : address_(config.address),
      ackByte_(config.ackByte),
      furtherByte_(config.furtherByte),
      faults_(config.seed),
      log_(config.logCapacity) {
    SimRandom idRandom(config.seed ^ 0x1D1D1D1D1D1D1D1Dull);
    identity_.versionWord = config.versionWord;
    identity_.serialNumber = config.serialNumber;
    for (auto& b : identity_.idBytes4) b = idRandom.NextByte();
    const auto drawnWord12 = static_cast<std::uint16_t>(idRandom.Next());
    identity_.idWord12 = config.idWord12 ? *config.idWord12 : drawnWord12;

    FillMeterContent(memory_, config.seed, config.moduleCount);
    RegisterGenericCommands(*this);
    InstallTotalsContent(*this, config);
    InstallArchiveContent(*this, config);
    InstallLogContent(*this, config);
    InstallMeasurementContent(*this, config);
}

void MeterModel::SetHandler(std::uint8_t command, CommandHandler handler) { handlers_[command] = std::move(handler); }

MeterReply MeterModel::Handle(std::span<const std::uint8_t> packet) {
    MeterReply reply;
    if (!IsValidRequest(packet, address_)) return reply;

    const std::size_t length = packet[1];
    MeterRequest request;
    request.number = ++requests_;
    request.address = packet[0];
    request.command = packet[2];
    request.data = packet.subspan(3, length - 1);
    request.master = packet[length + 2];
    request.frame = packet;
    reply.requestNumber = request.number;
    log_.Add(request.number, packet);

    MeterResponse response;
    if (const CommandHandler& handler = handlers_[request.command]) response = handler(*this, request);
    if (response.shape == MeterResponse::Shape::None) ++unhandled_;

    bool framed = false;
    switch (response.shape) {
        case MeterResponse::Shape::None: break;
        case MeterResponse::Shape::Data: {
            // The master cannot take more than kMaxReplyPayload bytes per reply.
            auto payload = std::span<const std::uint8_t>(response.bytes);
            if (payload.size() > kMaxReplyPayload) payload = payload.first(kMaxReplyPayload);
            reply.bytes = BuildReply(request.master, payload, furtherByte_);
            framed = true;
            break;
        }
        case MeterResponse::Shape::Ack: reply.bytes.assign(1, ackByte_); break;
        case MeterResponse::Shape::Raw: reply.bytes = std::move(response.bytes); break;
    }

    // Faults are drawn for every accepted request, answered or not, so the
    // fault pattern of a run does not depend on which commands it used.
    reply.faults = faults_.Take(request.number);
    if (!reply.bytes.empty()) reply.delayMs = faults_.Apply(reply.faults, reply.bytes, framed);
    return reply;
}

void MeterModel::InjectAt(std::uint64_t requestNumber, Fault fault) {
    faults_.Schedule(requestNumber, requestNumber, fault);
}

void MeterModel::InjectNext(Fault fault, std::uint64_t count) {
    if (count == 0) return;
    faults_.Schedule(requests_ + 1, requests_ + count, fault);
}

void MeterModel::SetFaultRate(FaultKind kind, double probability, int param) {
    faults_.SetRate(kind, probability, param);
}

void MeterModel::ClearFaults() { faults_.Clear(); }

void MeterModel::ResetFaults(std::uint64_t seed) { faults_ = FaultPlan(seed); }

}  // namespace q31::sim
