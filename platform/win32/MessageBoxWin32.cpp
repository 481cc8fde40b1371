#include <windows.h>

#include "platform/MessageText.h"

namespace q31 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 texts go to the wide API as they are");

// The operator's message box: caption and text in Unicode, the caller's flags
// (0: OK button, no icon). With no owner window MB_TASKMODAL makes it modal
// to the whole application, as the host's own windows are disabled while it
// is open; an active window of the thread becomes its owner instead.
void ShowPlatformMessageBox(const char* text1251, const char* caption1251, unsigned flags) {
    const MessageText<char16_t> utf16(text1251, caption1251);
    HWND owner = ::GetActiveWindow();
    UINT style = static_cast<UINT>(flags);
    if (owner == nullptr) style |= MB_TASKMODAL;
    ::MessageBoxW(owner, reinterpret_cast<const wchar_t*>(utf16.text), reinterpret_cast<const wchar_t*>(utf16.caption),
                  style);
}

}  // namespace q31
