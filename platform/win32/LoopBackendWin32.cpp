// On Windows the host's own window-message loop drives the library: the loop
// owns one message-only window on the thread that calls the exports. The
// earliest due timer is a SetTimer on that window, and a worker's hand-over
// is a PostMessage to it; either way the window procedure runs the loop's
// RunPending on the host's thread, wherever in its message loop the host is
// (its GetMessage loop, a modal dialog, a message box).
//
// The window is made lazily, at the first timer change once the library's
// load has finished: in practice inside the first export call, on the
// host's thread. Building the form during the load already arms a timer,
// but no window may be made while the loader holds its lock; a timer armed
// then simply waits for the window, which picks it up when it is made.
#include <windows.h>

#include <algorithm>
#include <new>

#include "platform/win32/LibraryAttachWin32.h"
#include "runtime/MessageLoop.h"

namespace q31 {

namespace {

constexpr wchar_t kWindowClass[] = L"publicQ31.MessageLoop";
// The loop has hand-overs queued, or a timer is already overdue.
constexpr UINT kRunMessage = WM_APP + 0x31;
// Another thread changed a timer: the owner thread must re-arm SetTimer.
constexpr UINT kRescheduleMessage = WM_APP + 0x32;
constexpr UINT_PTR kTimerId = 1;

struct LoopWindow {
    MessageLoop* loop = nullptr;
    HWND hwnd = nullptr;
    DWORD thread = 0;
    bool runPosted = false;  // a kRunMessage is on its way (owner thread only)
    bool pumping = false;    // inside LoopBackendWait: count what the window runs
    int ran = 0;             // handlers run from the window procedure meanwhile
};

LoopWindow* StateOf(MessageLoop& loop) {
    return static_cast<LoopWindow*>(loop.backend.load(std::memory_order_acquire));
}

HINSTANCE PinnedModule() {
    // The window procedure lives in this module. Once a window exists (and
    // with it, soon, the reader thread) the module must stay mapped until the
    // process ends, as the form does: pin it against FreeLibrary.
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&PinnedModule), &module);
    return module;
}

void Schedule(LoopWindow& state);

void RunFromWindow(LoopWindow& state) {
    const int ran = state.loop->RunPending();
    if (state.pumping) state.ran += ran;
}

LRESULT CALLBACK LoopWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<LoopWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (state == nullptr) return ::DefWindowProcW(hwnd, message, wParam, lParam);
    switch (message) {
        case WM_TIMER:
            if (wParam != kTimerId) break;
            // RunPending re-arms the timer for whatever is due next.
            RunFromWindow(*state);
            return 0;
        case kRunMessage:
            state->runPosted = false;
            RunFromWindow(*state);
            return 0;
        case kRescheduleMessage: Schedule(*state); return 0;
        default: break;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

bool RegisterLoopClass(HINSTANCE module) {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = &LoopWindowProc;
    cls.hInstance = module;
    cls.lpszClassName = kWindowClass;
    if (::RegisterClassExW(&cls) != 0) return true;
    return ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

LoopWindow* CreateLoopWindow(MessageLoop& loop) {
    HINSTANCE module = PinnedModule();
    if (!RegisterLoopClass(module)) return nullptr;
    auto* state = new (std::nothrow) LoopWindow;
    if (state == nullptr) return nullptr;
    state->loop = &loop;
    state->thread = ::GetCurrentThreadId();
    state->hwnd = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module, nullptr);
    if (state->hwnd == nullptr) {
        delete state;
        return nullptr;
    }
    ::SetWindowLongPtrW(state->hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
    loop.backend.store(state, std::memory_order_release);
    return state;
}

// Owner thread: arm the window timer for the earliest due loop timer.
void Schedule(LoopWindow& state) {
    const auto due = state.loop->NextDue();
    if (!due) {
        ::KillTimer(state.hwnd, kTimerId);
        return;
    }
    const Micros wait = *due - state.loop->Now();
    if (wait <= 0) {
        // Already due: a posted message runs it as soon as the host pumps,
        // without the window timer's 10 ms minimum.
        ::KillTimer(state.hwnd, kTimerId);
        if (!state.runPosted && ::PostMessageW(state.hwnd, kRunMessage, 0, 0)) state.runPosted = true;
        return;
    }
    const Micros ms = std::min<Micros>((wait + 999) / 1000, 0x7FFFFFFF);
    ::SetTimer(state.hwnd, kTimerId, static_cast<UINT>(ms), nullptr);
}

}  // namespace

void LoopBackendPosted(MessageLoop& loop) {
    // Any thread. Before the window exists nobody waits on window messages,
    // and Pump wakes on the loop's condition variable.
    if (LoopWindow* state = StateOf(loop)) ::PostMessageW(state->hwnd, kRunMessage, 0, 0);
}

void LoopBackendTimersChanged(MessageLoop& loop) {
    LoopWindow* state = StateOf(loop);
    if (state == nullptr) {
        // Nothing armed, or the library still loading: no window yet. The
        // first change after the load comes from an export call, and the
        // host's thread that made it gets the window.
        if (!loop.NextDue() || !LibraryAttached()) return;
        state = CreateLoopWindow(loop);
        if (state == nullptr) return;
    }
    if (::GetCurrentThreadId() == state->thread) Schedule(*state);
    else ::PostMessageW(state->hwnd, kRescheduleMessage, 0, 0);
}

void LoopBackendDestroy(MessageLoop& loop) {
    auto* state = static_cast<LoopWindow*>(loop.backend.exchange(nullptr, std::memory_order_acq_rel));
    if (state == nullptr) return;
    // Messages still queued for the window find no loop behind it.
    ::SetWindowLongPtrW(state->hwnd, GWLP_USERDATA, 0);
    if (::GetCurrentThreadId() == state->thread) ::DestroyWindow(state->hwnd);
    else ::PostMessageW(state->hwnd, WM_CLOSE, 0, 0);  // DefWindowProc destroys it on its own thread
    delete state;
}

bool LoopBackendWait(MessageLoop& loop, Micros micros, int& ran) {
    LoopWindow* state = StateOf(loop);
    if (state == nullptr || state->thread != ::GetCurrentThreadId()) return false;
    state->ran = 0;
    state->pumping = true;
    const DWORD ms = static_cast<DWORD>(std::clamp<Micros>((micros + 999) / 1000, 0, 0x7FFFFFFF));
    ::MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    // A host that drives the library through PumpMessages has no message
    // loop of its own: this is it, for every window of the thread.
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Not ours to consume: leave it for the host's own loop.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    state->pumping = false;
    ran += state->ran;
    state->ran = 0;
    return true;
}

}  // namespace q31
