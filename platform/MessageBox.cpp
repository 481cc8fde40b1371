#include "platform/MessageBox.h"

#include <atomic>

#include "platform/MessageText.h"

namespace q31 {

// The platform's own presentation; one per platform.
void ShowPlatformMessageBox(const char* text1251, const char* caption1251, unsigned flags);

namespace {
std::atomic<MessageBoxHandler> g_handler{nullptr};
}  // namespace

void SetMessageBoxHandler(MessageBoxHandler handler) { g_handler.store(handler); }

void ShowMessageBox(const char* text1251, const char* caption1251, unsigned flags) {
    if (MessageBoxHandler handler = g_handler.load()) {
        const MessageText<char> utf8(text1251, caption1251);
        handler(utf8.text, utf8.caption, flags);
        return;
    }
    ShowPlatformMessageBox(text1251, caption1251, flags);
}

}  // namespace q31
