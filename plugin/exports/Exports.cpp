// The flat exports a host calls. Each one only forwards to the form.
#include "publicQ31.h"

#include "platform/MessageBox.h"
#include "plugin/TFXB.h"
#include "plugin/exports/HostProgressControl.h"
#include "plugin/exports/HostTraceSink.h"
#include "plugin/exports/PluginInstance.h"
#include "runtime/MessageLoop.h"

using q31::PluginForm;

extern "C" {

Q31_API ::TFXB* FXB = nullptr;

Q31_API void Q31_CALL InitSlot(const TQ31Slot* slot) { PluginForm().InitSlot(slot); }
Q31_API uint8_t Q31_CALL GetID(void) { return PluginForm().GetID(); }

Q31_API uint8_t Q31_CALL GetModuleCount(const SDevIdent* dev) { return PluginForm().GetModuleCount(dev); }
Q31_API uint8_t Q31_CALL GetModuleRecord(const SDevIdent* dev, uint32_t module) {
    return PluginForm().GetModuleRecord(dev, static_cast<uint8_t>(module));
}
Q31_API uint8_t Q31_CALL GetCurrentData(const SDevIdent* dev) { return PluginForm().GetCurrentData(dev); }
Q31_API uint8_t Q31_CALL GetAccumulatedData(const SDevIdent* dev) { return PluginForm().GetAccumulatedData(dev); }

Q31_API uint8_t Q31_CALL GetArhiveCount(const SDevIdent* dev) { return PluginForm().GetArchiveCount(dev); }

#define Q31_SERIES_EXPORT(name, series)                                                     \
  Q31_API uint8_t Q31_CALL name(const SDevIdent* dev, uint32_t module, uint32_t start) {    \
    return PluginForm().GetArchiveSeries(series, dev, static_cast<uint8_t>(module), start); \
  }
Q31_SERIES_EXPORT(GetArhiveTime_Hour, 0)
Q31_SERIES_EXPORT(GetArhiveStop_Hour, 1)
Q31_SERIES_EXPORT(GetArhiveT_Hour, 2)
Q31_SERIES_EXPORT(GetArhiveU_Hour, 3)
Q31_SERIES_EXPORT(GetArhiveM_Hour, 4)
Q31_SERIES_EXPORT(GetArhiveE_Hour, 5)
Q31_SERIES_EXPORT(GetArhiveTime_Day, 6)
Q31_SERIES_EXPORT(GetArhiveStop_Day, 7)
Q31_SERIES_EXPORT(GetArhiveT_Day, 8)
Q31_SERIES_EXPORT(GetArhiveU_Day, 9)
Q31_SERIES_EXPORT(GetArhiveM_Day, 10)
Q31_SERIES_EXPORT(GetArhiveE_Day, 11)
#undef Q31_SERIES_EXPORT

Q31_API uint8_t Q31_CALL GetErrorHDev(const SDevIdent* dev) { return PluginForm().GetErrorHDev(dev); }
Q31_API uint8_t Q31_CALL GetErrorHModule(const SDevIdent* dev, uint32_t module) {
    return PluginForm().GetErrorHModule(dev, static_cast<uint8_t>(module));
}
Q31_API uint8_t Q31_CALL GetErrorDataDev(const SDevIdent* dev, uint32_t block) {
    return PluginForm().GetErrorDataDev(dev, static_cast<uint8_t>(block));
}
Q31_API uint8_t Q31_CALL GetErrorDataModule(const SDevIdent* dev, uint32_t module, uint32_t block) {
    return PluginForm().GetErrorDataModule(dev, static_cast<uint8_t>(module), static_cast<uint8_t>(block));
}
Q31_API uint8_t Q31_CALL GetEditHModule(const SDevIdent* dev, uint32_t module) {
    return PluginForm().GetEditHModule(dev, static_cast<uint8_t>(module));
}
Q31_API uint8_t Q31_CALL GetEditDataModule(const SDevIdent* dev, uint32_t module) {
    return PluginForm().GetEditDataModule(dev, static_cast<uint8_t>(module));
}

Q31_API int Q31_CALL PumpMessages(int timeout_ms) { return q31::MessageLoop::Main().Pump(timeout_ms); }

Q31_API void Q31_CALL SetMessageBoxHandler(TQ31MessageBoxHandler handler) { q31::SetMessageBoxHandler(handler); }

Q31_API void Q31_CALL SetProgressHandler(TQ31ProgressHandler handler) {
    static q31::HostProgressControl control;
    control.SetHandler(handler);
    PluginForm().SetProgress(handler ? &control : nullptr);
}

Q31_API void Q31_CALL SetTraceHandler(TQ31TraceHandler handler, void* user) {
    static q31::HostTraceSink sink;
    sink.SetHandler(handler, user);
    PluginForm().SetTrace(handler ? q31::TPublicNetKs::TraceEvent::Bind<&q31::HostTraceSink::Report>(&sink) : nullptr);
}

Q31_API void Q31_CALL SetReadConfirmation(uint8_t mode) {
    // Old hosts pass 0 or 1; any other value but AUTO meant "on" to them.
    PluginForm().SetConfirmMode(mode == Q31_CONFIRM_OFF    ? q31::ConfirmMode::Off
                                : mode == Q31_CONFIRM_AUTO ? q31::ConfirmMode::Auto
                                                           : q31::ConfirmMode::Always);
}

}  // extern "C"
