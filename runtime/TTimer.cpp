#include "runtime/TTimer.h"

#include "runtime/MessageLoop.h"

namespace q31 {

TTimer::TTimer(unsigned intervalMs, bool enabled) : TTimer(MessageLoop::Main(), intervalMs, enabled) {}

TTimer::TTimer(MessageLoop& loop, unsigned intervalMs, bool enabled) : loop_(loop), intervalMs_(intervalMs) {
    loop_.AddTimer(*this);
    SetEnabled(enabled);
}

TTimer::~TTimer() { loop_.RemoveTimer(*this); }

void TTimer::Restart() {
    due_ = loop_.Now() + Micros{intervalMs_} * 1000;
    loop_.TimersChanged();
}

void TTimer::SetEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (enabled_) Restart();
    else loop_.TimersChanged();
}

void TTimer::SetInterval(unsigned intervalMs) {
    if (intervalMs == intervalMs_) return;
    intervalMs_ = intervalMs;
    if (enabled_) Restart();
}

}  // namespace q31
