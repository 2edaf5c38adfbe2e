// The Win32 toolkit: the window's loop is the thread's message loop, timers
// are SetTimer timers of a message-only window, synchronous calls from worker
// threads are messages posted to that window, and each control shown gets a
// native window (BUTTON, STATIC, msctls_progress32, LISTBOX) that mirrors its
// state. Positions and font heights are designed at the form's PixelsPerInch
// and scaled to the window's DPI.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/toolkit/controls.h"
#include "platform/toolkit/toolkit.h"

// The system's window handle, without the system's headers (whose macros
// would rename MessageBox).
struct HWND__;

namespace odu::platform {

using WindowHandle = HWND__*;

// The window that shows `control`, or null when it has none (not shown, or
// already destroyed with its parent).
WindowHandle WindowOf(const TControl& control);

class Win32Toolkit : public Toolkit {
 public:
  // Resource id of the icon that a form with an icon shows.
  static constexpr int kIconResource = 1;

  Win32Toolkit();
  ~Win32Toolkit() override;

  // MessageBoxA with MB_OK and no icon, owned by the main form's window.
  // From a worker thread the box is shown on the window's thread through a
  // synchronous call.
  void MessageBox(const std::string& text, const std::string& caption) override;
  std::unique_ptr<TimerImpl> CreateTimer(TTimer& timer) override;
  std::unique_ptr<ControlPeer> CreatePeer(TControl& control) override;
  // The message loop, with IsDialogMessage for the forms' windows (Tab,
  // Alt+letter). An exception that escaped a handler run by the loop ends
  // the loop and is rethrown here.
  void RunLoop() override;
  // Ends the loop (and any modal box in it). Called before RunLoop, it makes
  // the next RunLoop return at once.
  void Quit() override;

  // Factor from `form`'s design resolution to its window's DPI (the
  // screen's before the window exists).
  static double Scale(const TForm& form);
  // The DPI of `window` (GetDpiForWindow where the system has it), or the
  // screen's when `window` is null.
  static int DpiOf(WindowHandle window);

  // Runs `handler` for the loop: an exception it throws is kept for RunLoop
  // and ends the loop, as none may cross the system's window procedures.
  void Dispatch(const std::function<void()>& handler);

  // The message-only window that receives ticks and wake-ups.
  WindowHandle message_window() const { return message_window_.load(); }

 protected:
  void WakeForSynchronize() override;

 private:
  struct MessageWindow;  // its window procedure

  std::atomic<WindowHandle> message_window_{nullptr};
  std::exception_ptr pending_;
  std::atomic<bool> quit_requested_{false};
  int loop_depth_ = 0;
};

}  // namespace odu::platform
