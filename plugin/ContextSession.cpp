#include "plugin/ContextSession.h"

namespace q31 {

namespace {

int StatusOf(RequestOutcome outcome) {
    switch (outcome) {
        case RequestOutcome::Done: return Q31_OK;
        case RequestOutcome::OtherMeter: return Q31_OTHER_METER;
        case RequestOutcome::NoAnswer: return Q31_NO_ANSWER;
        case RequestOutcome::PortError: return Q31_PORT_ERROR;
        case RequestOutcome::BeyondNewest: return Q31_BEYOND_NEWEST;
    }
    return Q31_NO_ANSWER;
}

ConfirmMode ConfirmOf(std::uint8_t confirm) {
    switch (confirm) {
        case Q31_CONFIRM_ALWAYS: return ConfirmMode::Always;
        case Q31_CONFIRM_AUTO: return ConfirmMode::Auto;
        default: return ConfirmMode::Off;
    }
}

}  // namespace

q31_options ContextSession::Defaults() {
    q31_options options{};
    options.echo = 0;
    options.slave_address = Q31_DEFAULT_ADDRESS;
    options.timeout_ms = Q31_DEFAULT_TIMEOUT_MS;
    options.send_limit = Q31_DEFAULT_SEND_LIMIT;
    options.confirm = Q31_CONFIRM_OFF;
    return options;
}

bool ContextSession::Valid(const q31_options& options) {
    // The reserved bytes are where later options will go: a host that sets
    // them expects something this library does not do.
    for (const std::uint8_t byte : options.reserved)
        if (byte != 0) return false;
    return options.slave_address >= Q31_ADDRESS_MIN && options.slave_address <= Q31_ADDRESS_MAX &&
           options.timeout_ms >= 1 && options.timeout_ms <= Q31_TIMEOUT_MAX_MS && options.send_limit >= 0 &&
           options.confirm <= Q31_CONFIRM_AUTO;
}

std::int32_t ContextSession::QuietBoundMs(const q31_options& options) {
    // The tail the link listens for behind a frame is counted at the
    // character time of a port without a speed; the bytes' own time on the
    // wire is the host's to add.
    constexpr int kTailMs = TPublicNetKs::kTailChars * TPublicNetKs::kUnknownCharMicros / 1000;
    return options.timeout_ms * (1 + TPublicNetKs::kQuietTimeOuts) + MeterSession::kSendDelayMs + kTailMs;
}

ContextSession::ContextSession(PortHandle port, const q31_options& options, SharedLine& line, MessageLoop& loop)
    : Session(loop),
      line_(line),
      confirm_(ConfirmOf(options.confirm)),
      quietBoundMs_(QuietBoundMs(options)),
      deliver_(loop, 1, false),
      guard_(loop, 1000, false) {
    Session.SetLink(port, options.echo != 0, options.timeout_ms);
    Session.SetAddress(options.slave_address);
    Session.SendLimit = options.send_limit;
    Session.StopOnPortError = true;
    Session.SetConfirmMode(ConfirmOf(options.confirm));
    Session.OnResult = MeterSession::ResultEvent::Bind<&ContextSession::Result>(this);
    turn_.OnTurn = Delegate<void()>::Bind<&ContextSession::Begin>(this);
    turn_.Unsettled = Delegate<bool()>::Bind<&ContextSession::LineUnsettled>(this);
    deliver_.OnTimer = Delegate<void()>::Bind<&ContextSession::DeliverDirect>(this);
    guard_.OnTimer = Delegate<void()>::Bind<&ContextSession::GuardExpired>(this);
}

ContextSession::~ContextSession() {
    // The exchange stops, its read included, before the next session's
    // request may go out on the same port.
    deliver_.SetEnabled(false);
    guard_.SetEnabled(false);
    Session.Cancel();
    RestoreLink();
    line_.Close(turn_);
}

int ContextSession::Start(RequestId id, const SDevIdent* dev, std::uint32_t first, std::uint32_t second,
                          ContextCallback callback, void* user) {
    if (waiting_ || Session.Busy()) return Q31_ERR_BUSY;
    switch (MeterSession::Check(id, dev, first, second)) {
        case kStarted: break;
        case kWrongDeviceType: return Q31_ERR_DEVICE_TYPE;
        default: return Q31_ERR_ARGUMENT;
    }
    id_ = id;
    hasDev_ = dev != nullptr;
    if (dev) dev_ = *dev;
    first_ = first;
    second_ = second;
    return Queue(Direct::None, callback, user);
}

int ContextSession::Queue(Direct direct, ContextCallback callback, void* user) {
    direct_ = direct;
    callback_ = callback;
    user_ = user;
    waiting_ = true;
    if (line_.Take(turn_)) Begin();
    return Q31_OK;
}

void ContextSession::Begin() {
    // The arguments passed the same check when the request was started.
    if (direct_ != Direct::None) BeginDirect();
    else Session.Request(id_, hasDev_ ? &dev_ : nullptr, first_, second_);
}

bool ContextSession::LineUnsettled() { return Session.LineUnsettled(); }

void ContextSession::Cancel() {
    deliver_.SetEnabled(false);
    guard_.SetEnabled(false);
    Session.Cancel();
    RestoreLink();
    waiting_ = false;
    user_ = nullptr;
    line_.Leave(turn_);
}

ContextSession::Taken ContextSession::TakeCallback() {
    const Taken taken{callback_, user_};
    waiting_ = false;
    user_ = nullptr;
    return taken;
}

void ContextSession::Result(const RequestRow* row, RequestOutcome outcome) {
    // The line goes to the next session before this callback runs, so a
    // request the callback starts waits behind those that came before it.
    line_.Leave(turn_);
    if (!row || !waiting_) return;
    const Taken taken = TakeCallback();
    const ContextCallback callback = taken.callback;
    void* const user = taken.user;

    q31_result result{};
    result.status = StatusOf(outcome);
    if (row->checksSerial) {
        result.expected_serial = Session.DevIdent.SerialNumber;
        if (Session.MeterAnswered()) result.found_serial = Session.FoundIdent.SerialNumber;
    } else if (Session.MeterAnswered()) {
        result.found_serial = Session.DevIdent.SerialNumber;
    }
    const ResultView view = outcome == RequestOutcome::Done ? Session.View(row->shape) : ResultView{};
    VisitResult(row->shape, view, [&](auto shape, auto* data, std::uint32_t count) {
        using Shape = decltype(shape);
        Shape::ToContext(callback.As<typename Shape::Context>(), &result, data, count, user);
    });
}

}  // namespace q31
