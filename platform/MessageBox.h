// The operator message: an application-modal box with a caption, a text and
// flags (0 = plain OK button, no icon). Texts come in as Windows-1251 bytes.
#pragma once

namespace q31 {

// Handler for hosts that show messages themselves: text and caption in UTF-8.
using MessageBoxHandler = void (*)(const char* text, const char* caption, unsigned flags);

// Shows the message and returns when the operator has closed it.
void ShowMessageBox(const char* text1251, const char* caption1251, unsigned flags);

// nullptr restores the platform's default (standard error on POSIX,
// a message box on Windows).
void SetMessageBoxHandler(MessageBoxHandler handler);

}  // namespace q31
