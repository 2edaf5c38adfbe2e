#include "platform/toolkit/toolkit_win32.h"

#include "platform/toolkit/toolkit_win32_peers.h"

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <unordered_map>
#include <utility>

namespace odu::platform {

namespace {

constexpr UINT kWakeMessage = WM_APP + 1;
constexpr UINT kQuitMessage = WM_APP + 2;
constexpr char kMessageClass[] = "OduMessages";

HINSTANCE Instance() { return GetModuleHandleA(nullptr); }

// ---- timers ----

// Timers are keyed by id on the message window; a tick whose timer has gone
// meanwhile finds nothing.
std::unordered_map<UINT_PTR, class Win32Timer*>& LiveTimers() {
  static std::unordered_map<UINT_PTR, Win32Timer*> timers;
  return timers;
}

class Win32Timer final : public TimerImpl {
 public:
  Win32Timer(Win32Toolkit& toolkit, TTimer& timer) : toolkit_(toolkit), timer_(timer) {
    static UINT_PTR next_id = 1;
    id_ = next_id++;
    LiveTimers()[id_] = this;
  }
  ~Win32Timer() override {
    Stop();
    LiveTimers().erase(id_);
  }
  // SetTimer is periodic; setting it again re-arms it from now.
  void Start(Nanos interval) override {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(interval).count();
    const auto clamped = std::clamp<int64_t>(ms, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
    if (HWND w = toolkit_.message_window()) SetTimer(w, id_, static_cast<UINT>(clamped), nullptr);
  }
  void Stop() override {
    if (HWND w = toolkit_.message_window()) KillTimer(w, id_);
  }
  void Tick() {
    toolkit_.Dispatch([this] { timer_.Tick(); });
  }

 private:
  Win32Toolkit& toolkit_;
  TTimer& timer_;
  UINT_PTR id_ = 0;
};

}  // namespace

// ---- the toolkit ----

struct Win32Toolkit::MessageWindow {
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    auto* toolkit = reinterpret_cast<Win32Toolkit*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!toolkit) return DefWindowProcA(hwnd, msg, wparam, lparam);
    switch (msg) {
      case kWakeMessage:
        toolkit->Dispatch([toolkit] { toolkit->RunSynchronized(); });
        if (toolkit->HasSynchronized()) toolkit->WakeForSynchronize();  // what a throwing call left behind
        return 0;
      case kQuitMessage:
        toolkit->Quit();
        return 0;
      case WM_TIMER: {
        auto& timers = LiveTimers();
        if (auto it = timers.find(wparam); it != timers.end()) it->second->Tick();
        return 0;
      }
      default: return DefWindowProcA(hwnd, msg, wparam, lparam);
    }
  }
};

Win32Toolkit::Win32Toolkit() : Toolkit(RealTime()) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  win32::RegisterWindowClasses();
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.hInstance = Instance();
  wc.lpfnWndProc = MessageWindow::Proc;
  wc.lpszClassName = kMessageClass;
  RegisterClassExA(&wc);
  HWND w = CreateWindowExA(0, kMessageClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, Instance(), nullptr);
  if (!w) throw ToolkitError("Cannot create the toolkit's message window.");
  SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  message_window_ = w;
}

Win32Toolkit::~Win32Toolkit() {
  // Wake-ups still queued for the window go with it.
  if (HWND w = message_window_.exchange(nullptr)) {
    SetWindowLongPtrA(w, GWLP_USERDATA, 0);
    DestroyWindow(w);
  }
}

int Win32Toolkit::DpiOf(HWND window) {
  // Windows 10 1607 and later; the screen's resolution before that.
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto get_dpi_for_window = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
  if (window && get_dpi_for_window)
    if (const UINT dpi = get_dpi_for_window(window); dpi > 0) return static_cast<int>(dpi);
  HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 0;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : USER_DEFAULT_SCREEN_DPI;
}


void Win32Toolkit::MessageBox(const std::string& text, const std::string& caption) {
  if (!IsWindowThread()) {
    // Windows belong to the thread that made them.
    Synchronize(kOwnCalls, [&] { MessageBox(text, caption); });
    return;
  }
  HWND owner = nullptr;
  if (TApplication* app = Application(); app && app->MainForm)
    if (HWND w = WindowOf(*app->MainForm); w && IsWindowVisible(w)) owner = w;
  // With no window to own it, the box disables the thread's windows.
  MessageBoxA(owner, text.c_str(), caption.c_str(), MB_OK | (owner ? 0u : static_cast<UINT>(MB_TASKMODAL)));
}

std::unique_ptr<TimerImpl> Win32Toolkit::CreateTimer(TTimer& timer) { return std::make_unique<Win32Timer>(*this, timer); }

std::unique_ptr<ControlPeer> Win32Toolkit::CreatePeer(TControl& control) {
  return win32::CreatePeer(*this, control);
}

void Win32Toolkit::RunLoop() {
  if (!quit_requested_) {
    ++loop_depth_;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
      // Tab, Alt+letter and the like for the forms' windows.
      if (HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr; win32::IsFormWindow(root) && IsDialogMessageA(root, &msg))
        continue;
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    --loop_depth_;
  }
  quit_requested_ = false;
  if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
}

void Win32Toolkit::Quit() {
  quit_requested_ = true;
  if (!IsWindowThread()) {
    // WM_QUIT belongs to the thread that posts it.
    if (HWND w = message_window()) PostMessageA(w, kQuitMessage, 0, 0);
    return;
  }
  // Outside the loop the flag alone makes the next RunLoop return; a
  // WM_QUIT left in the queue would close the next modal box instead.
  if (loop_depth_ > 0) PostQuitMessage(0);
}

void Win32Toolkit::Dispatch(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    if (!pending_) pending_ = std::current_exception();
    Quit();
  }
}

void Win32Toolkit::WakeForSynchronize() {
  // Posting is thread-safe; a window that is gone takes nothing.
  if (HWND w = message_window()) PostMessageA(w, kWakeMessage, 0, 0);
}

}  // namespace odu::platform
