#include "platform/MessageBox.h"

#include <atomic>

#include "platform/Cp1251.h"

namespace q31 {

// The platform's own presentation; one per platform.
void ShowPlatformMessageBox(const char* text1251, const char* caption1251, unsigned flags);

namespace {
std::atomic<MessageBoxHandler> g_handler{nullptr};
}  // namespace

void SetMessageBoxHandler(MessageBoxHandler handler) { g_handler.store(handler); }

void ShowMessageBox(const char* text1251, const char* caption1251, unsigned flags) {
    if (MessageBoxHandler handler = g_handler.load()) {
        // Each Windows-1251 byte becomes at most three UTF-8 bytes.
        char text[3 * 512 + 1];
        char caption[3 * 128 + 1];
        Cp1251ToUtf8(text1251, text, sizeof text);
        Cp1251ToUtf8(caption1251, caption, sizeof caption);
        handler(text, caption, flags);
        return;
    }
    ShowPlatformMessageBox(text1251, caption1251, flags);
}

}  // namespace q31
