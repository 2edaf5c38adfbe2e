// The Win32 toolkit's side of the controls: a native window per control
// shown, of the system's classes (BUTTON, STATIC, msctls_progress32, LISTBOX)
// or the toolkit's own (the form's top-level window, the panel). Only the
// backend's sources include this.
#pragma once

#include <windows.h>
#undef MessageBox  // the toolkit's own member, not the system's A/W macro

#include <memory>

#include "platform/toolkit/toolkit_win32.h"

namespace odu::platform::win32 {

// Registers the window classes of forms and panels (again: harmless).
void RegisterWindowClasses();
// A top-level window of a form, for IsDialogMessage.
bool IsFormWindow(HWND w);
// The peer of a control about to be shown, or none when its parent shows
// nothing or the toolkit has no window for its kind.
std::unique_ptr<ControlPeer> CreatePeer(Win32Toolkit& toolkit, TControl& control);

}  // namespace odu::platform::win32
