// A host that fills every callback of the slot record and keeps what each one
// delivered: the order of the calls by name, the last record of each kind, the
// last series or log block, and the operator's last message. Host callbacks
// are plain functions, so one recording host at a time is the current one:
// the one whose Slot was taken last.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "publicQ31.h"

namespace q31 {

// The names of the series and log callbacks as they appear in
// RecordingHost::calls ("name;" per call).
inline constexpr char kTimeHour[] = "time_hour", kStopHour[] = "stop_hour", kTHour[] = "t_hour", kUHour[] = "u_hour",
                      kMHour[] = "m_hour", kEHour[] = "e_hour", kTimeDay[] = "time_day", kStopDay[] = "stop_day",
                      kTDay[] = "t_day", kUDay[] = "u_day", kMDay[] = "m_day", kEDay[] = "e_day",
                      kErrorHDev[] = "errorhdev", kErrorHModule[] = "errorhmodule", kErrorDataDev[] = "errordatadev",
                      kErrorDataModule[] = "errordatamodule", kEditDataModule[] = "editdatamodule";

class RecordingHost {
public:
    std::string calls;  // "name;" per callback, in order
    SDevIdent ident{};
    std::uint32_t moduleCount = 0;
    SModuleRecord module{};
    SCurrentData current{};
    SAccumulatedData accumulated{};
    SArhiveCount counters{};
    std::vector<std::int32_t> values32;
    std::vector<std::int64_t> values64;
    std::uint32_t count = 0;           // the count argument of the last callback that has one
    const void* pointer = nullptr;     // the pointer argument of the last callback
    std::vector<std::uint16_t> words;  // log heads
    std::vector<std::uint8_t> records;
    std::string message;
    std::string caption;

    // A slot record with every callback installed and the given line
    // settings; this host becomes the one the callbacks record into.
    TQ31Slot Slot(Q31PortHandle port, bool echo, int timeoutMs);

    // The operator-message handler (SetMessageBoxHandler): records into the
    // current host.
    static void Message(const char* text, const char* caption, unsigned flags);

    // The host the callbacks record into (nullptr before the first Slot).
    static RecordingHost* Current();
};

}  // namespace q31
