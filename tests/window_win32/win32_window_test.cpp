// The upgrade window on the Win32 toolkit, read back through the Win32 API
// (run under wine by scripts/wine/window-tests.sh). One group per run:
//
//   win32_window_test layout               the window as the form describes it
//   win32_window_test upgrade [--pictures DIR]
//                                           Alt+S with no station (the box),
//                                           then a whole simulated upgrade
//   win32_window_test toolkit              synchronous calls, boxes from a
//                                           worker, exceptions out of the loop
//
// Prints each check; the first mismatch ends the run with exit code 1. With
// --pictures the run announces the moments worth a screenshot by writing
// DIR/mid.ready and DIR/done.ready, and at "Done." waits for DIR/done.taken.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/main_panel.h"
#include "sim/simulated_station.h"
#include "platform/toolkit/toolkit_win32.h"
#include "resources/odu_icon.h"

// After the project's headers, whose names the system's macros would hit.
#include <windows.h>
#include <commctrl.h>
#undef MessageBox

namespace {

using namespace odu::platform;

// ---- reporting ----

[[noreturn]] void Fail(const std::string& what, const std::string& detail) {
  std::printf("FAIL: %s%s\n", what.c_str(), detail.c_str());
  std::fflush(stdout);
  std::_Exit(1);  // from inside a window procedure, with workers running
}

void Check(bool ok, const std::string& what) {
  if (!ok) Fail(what, "");
  std::printf("ok: %s\n", what.c_str());
}

template <typename A, typename B>
void CheckEq(const A& actual, const B& expected, const std::string& what) {
  if (actual == expected) {
    std::printf("ok: %s\n", what.c_str());
    return;
  }
  std::ostringstream d;
  d << ": got " << actual << ", want " << expected;
  Fail(what, d.str());
}

// ---- reading windows back ----

std::string ClassOf(HWND w) {
  char name[64] = {};
  GetClassNameA(w, name, sizeof name);
  return name;
}

std::string TextOf(HWND w) {
  char text[256] = {};
  GetWindowTextA(w, text, sizeof text);
  return text;
}

LONG_PTR StyleOf(HWND w) { return GetWindowLongPtrA(w, GWL_STYLE); }

// The window's rectangle in its parent's client coordinates.
RECT RectInParent(HWND w) {
  RECT r;
  GetWindowRect(w, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(w), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::string Describe(const RECT& r) {
  std::ostringstream s;
  s << "(" << r.left << "," << r.top << ")-(" << r.right << "," << r.bottom << ")";
  return s.str();
}

LOGFONTA FontOf(HWND w) {
  LOGFONTA lf{};
  auto font = reinterpret_cast<HFONT>(SendMessageA(w, WM_GETFONT, 0, 0));
  if (!font || GetObjectA(font, sizeof lf, &lf) != sizeof lf) Fail("a font is set on the " + ClassOf(w), "");
  return lf;
}

void CheckFont(HWND w, const std::string& who, const std::string& face, int height, LONG weight, int charset) {
  const LOGFONTA lf = FontOf(w);
  CheckEq(std::string(lf.lfFaceName), face, who + " font face");
  CheckEq(lf.lfHeight, -height, who + " font height (negative: pixels)");
  CheckEq(lf.lfWeight, weight, who + " font weight");
  CheckEq(static_cast<int>(lf.lfCharSet), charset, who + " font charset");
}

// The resolution the window is drawn at, as the system reports it.
int SystemDpi(HWND w) {
  using Fn = UINT(WINAPI*)(HWND);
  const auto get = reinterpret_cast<Fn>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
  HDC screen = GetDC(nullptr);
  const int screen_dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  if (get) CheckEq(static_cast<int>(get(w)), screen_dpi, "GetDpiForWindow agrees with the screen's LOGPIXELSX");
  return screen_dpi;
}

// Pixels of a bitmap as 0xRRGGBB, top row first.
std::vector<uint32_t> Pixels(HBITMAP bitmap, int width, int height) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  std::vector<uint32_t> px(static_cast<size_t>(width * height));
  HDC dc = GetDC(nullptr);
  GetDIBits(dc, bitmap, 0, static_cast<UINT>(height), px.data(), &info, DIB_RGB_COLORS);
  ReleaseDC(nullptr, dc);
  for (uint32_t& p : px) p &= 0xFFFFFF;
  return px;
}

// The icon's XPM as 0xRRGGBB per pixel, or -1 where transparent.
std::vector<long> XpmPixels(const std::string& xpm) {
  std::vector<std::string> strings;
  for (size_t pos = xpm.find('"'); pos != std::string::npos; pos = xpm.find('"', pos)) {
    const size_t end = xpm.find('"', pos + 1);
    strings.push_back(xpm.substr(pos + 1, end - pos - 1));
    pos = end + 1;
  }
  int width = 0, height = 0, colours = 0;
  std::sscanf(strings.at(0).c_str(), "%d %d %d", &width, &height, &colours);
  std::map<char, long> colour;
  for (int i = 1; i <= colours; ++i) {
    const std::string& s = strings.at(static_cast<size_t>(i));
    const size_t c = s.find(" c ");
    const std::string value = s.substr(c + 3);
    colour[s[0]] = value == "None" ? -1 : std::strtol(value.c_str() + 1, nullptr, 16);
  }
  std::vector<long> out;
  for (int y = 0; y < height; ++y)
    for (char ch : strings.at(static_cast<size_t>(1 + colours + y))) out.push_back(colour.at(ch));
  return out;
}

// What the panel paints, through WM_PRINTCLIENT into a bitmap of its size.
std::vector<uint32_t> PaintedClient(HWND w, int& width, int& height) {
  RECT r;
  GetClientRect(w, &r);
  width = r.right;
  height = r.bottom;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(dc, bitmap);
  SendMessageA(w, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT | PRF_ERASEBKGND);
  SelectObject(dc, old);
  auto px = Pixels(bitmap, width, height);
  DeleteObject(bitmap);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  return px;
}

uint32_t Rgb(COLORREF c) { return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c); }

// ---- a scripted run of the loop ----

// Runs the steps one after another on timer ticks of the window's thread
// (ticks that also arrive while a modal box is open); a step returns true
// when it is done. Too many ticks without progress, or a loop that goes on
// after the last step, fail the run.
class Script {
 public:
  using Step = std::function<bool()>;
  Script(Toolkit& toolkit, std::vector<std::pair<std::string, Step>> steps, int max_ticks)
      : toolkit_(toolkit), steps_(std::move(steps)), max_ticks_(max_ticks) {
    timer_.SetInterval(20);
    timer_.OnTimer = [this](TTimer&) { Tick(); };
  }
  void Run() {
    timer_.SetEnabled(true);
    toolkit_.RunLoop();
    timer_.SetEnabled(false);
    CheckEq(next_, steps_.size(), "every step of the script ran");
  }

 private:
  void Tick() {
    if (busy_) return;  // a step's own nested loop ticks too
    if (++ticks_ > max_ticks_) {
      if (next_ < steps_.size()) Fail("step \"" + steps_[next_].first + "\" finished", " (it never did)");
      Fail("the loop ended after the last step", " (it never did)");
    }
    if (next_ >= steps_.size()) return;
    busy_ = true;
    const bool done = steps_[next_].second();
    busy_ = false;
    if (!done) return;
    ++next_;
    ticks_ = 0;
  }
  Toolkit& toolkit_;
  TTimer timer_{nullptr};
  std::vector<std::pair<std::string, Step>> steps_;
  int max_ticks_;
  size_t next_ = 0;
  int ticks_ = 0;
  bool busy_ = false;
};

// A message box of this process with `caption`, or null.
HWND FindBox(const std::string& caption) { return FindWindowA("#32770", caption.c_str()); }

struct BoxContents {
  std::vector<std::string> texts;  // of its static controls
  std::vector<int> buttons;        // ids of its visible buttons
  bool icon = false;
};

BoxContents ReadBox(HWND box) {
  BoxContents c;
  EnumChildWindows(
      box,
      [](HWND w, LPARAM p) -> BOOL {
        auto& seen = *reinterpret_cast<BoxContents*>(p);
        if (!IsWindowVisible(w)) return TRUE;
        const std::string cls = ClassOf(w);
        if (cls == "Button") seen.buttons.push_back(GetDlgCtrlID(w));
        if (cls == "Static") {
          if ((StyleOf(w) & SS_TYPEMASK) == SS_ICON && SendMessageA(w, STM_GETICON, 0, 0))
            seen.icon = true;
          else
            seen.texts.push_back(TextOf(w));
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&c));
  return c;
}

bool Contains(const std::vector<std::string>& v, const std::string& s) {
  for (const auto& x : v)
    if (x == s) return true;
  return false;
}

// Checks the box with `caption` that is open now, and answers it with OK.
void CheckAndAnswerBox(HWND box, const std::string& text, HWND owner) {
  const BoxContents c = ReadBox(box);
  Check(Contains(c.texts, text), "the box shows \"" + text + "\"");
  Check(c.buttons == std::vector<int>{IDOK}, "the box has an OK button only");
  Check(!c.icon, "the box shows no icon");
  CheckEq(GetWindowThreadProcessId(box, nullptr), GetCurrentThreadId(), "the box runs on the window's thread");
  if (owner) {
    Check(GetWindow(box, GW_OWNER) == owner, "the box is owned by the window");
    Check(!IsWindowEnabled(owner), "the window is disabled while the box is open (modal)");
    // A change of the form under the box (a timer, a synchronous call)
    // must not enable the window again.
    const std::string caption = odu::MainPanel->Caption();
    odu::MainPanel->SetCaption(caption + " ");
    odu::MainPanel->SetCaption(caption);
    Check(!IsWindowEnabled(owner), "and stays disabled when the form changes under the box");
  }
  SendMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
}

// Announces a moment for a picture, with where the window is on the screen
// ("left top width height") for cropping.
void Announce(const std::string& path, HWND w) {
  RECT r;
  GetWindowRect(w, &r);
  std::ofstream(path) << r.left << ' ' << r.top << ' ' << (r.right - r.left) << ' ' << (r.bottom - r.top) << '\n';
}
bool Exists(const std::string& path) { return std::ifstream(path).good(); }

struct Fixture {
  Fixture() {
    app.Title = "TZ_M -> ODU";
    app.CreateForm(odu::MainPanel);
    panel = odu::MainPanel;
  }
  ~Fixture() { odu::MainPanel = nullptr; }  // the application frees it
  Win32Toolkit toolkit;
  TApplication app{toolkit};
  odu::TMainPanel* panel = nullptr;
};

// ---- the groups ----

void Layout() {
  Fixture f;
  odu::TMainPanel& p = *f.panel;
  p.Show();
  HWND w = WindowOf(p);
  Check(w && IsWindowVisible(w), "the window is shown");
  const int dpi = SystemDpi(w);
  std::printf("(the system reports %d dpi)\n", dpi);
  const double s = dpi / 120.0;
  auto S = [s](int v) { return static_cast<int>(std::lround(v * s)); };

  CheckEq(TextOf(w), "TZ_M -> ODU", "title");
  const LONG_PTR style = StyleOf(w);
  Check((style & WS_CAPTION) == WS_CAPTION && (style & WS_SYSMENU) && (style & WS_MINIMIZEBOX),
        "frame has caption, system menu and minimize box");
  Check(!(style & WS_THICKFRAME) && !(style & WS_MAXIMIZEBOX), "frame has no sizing border and no maximize box");
  RECT client;
  GetClientRect(w, &client);
  CheckEq(client.right, S(215), "client width is 215 at 120 dpi, scaled");
  CheckEq(client.bottom, S(92), "client height is 92 at 120 dpi, scaled");
  RECT outer;
  GetWindowRect(w, &outer);
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  GetMonitorInfoA(MonitorFromWindow(w, MONITOR_DEFAULTTOPRIMARY), &mi);
  Check(std::abs((outer.left + outer.right) - (mi.rcWork.left + mi.rcWork.right)) <= 1 &&
            std::abs((outer.top + outer.bottom) - (mi.rcWork.top + mi.rcWork.bottom)) <= 1,
        "window is centred on the work area " + Describe(mi.rcWork) + ": " + Describe(outer));
  CheckEq(static_cast<long>(GetClassLongPtrA(w, GCLP_HBRBACKGROUND)), static_cast<long>(COLOR_BTNFACE + 1),
          "background is the button face");

  HWND panel = WindowOf(*p.Panel1), label = WindowOf(*p.Label1), start = WindowOf(*p.Button1);
  HWND bar = WindowOf(*p.ProgressBar1), list = WindowOf(*p.ProgSrc), status = WindowOf(*p.StaticText1);
  Check(panel && label && start && bar && list && status, "every control has a window");

  CheckEq(ClassOf(start), "Button", "Start is a BUTTON");
  CheckEq(StyleOf(start) & BS_TYPEMASK, static_cast<LONG_PTR>(BS_PUSHBUTTON), "Start is a push button");
  CheckEq(TextOf(start), "&Start", "Start's caption carries the Alt+S mnemonic");
  Check(IsWindowEnabled(start), "Start is enabled");
  CheckEq(ClassOf(bar), PROGRESS_CLASSA, "the bar is a msctls_progress32");
  Check(StyleOf(bar) & PBS_SMOOTH, "the bar is smooth (PBS_SMOOTH)");
  PBRANGE range{};
  SendMessageA(bar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  Check(range.iLow == 0 && range.iHigh == 100 && SendMessageA(bar, PBM_GETPOS, 0, 0) == 0, "the bar runs 0..100, at 0");
  CheckEq(ClassOf(status), "Static", "the status line is a STATIC");
  Check(StyleOf(status) & SS_SUNKEN, "the status line is sunken (SS_SUNKEN)");
  RECT status_client;
  GetClientRect(status, &status_client);
  const RECT status_outer = RectInParent(status);
  CheckEq(status_outer.right - status_outer.left - status_client.right, 2,
          "the status line's sunken edge takes a pixel each side");
  CheckEq(TextOf(status), "", "the status line is empty");
  CheckEq(Describe(RectInParent(status)), Describe(RECT{0, S(78), S(215), S(92)}), "the status line spans the bottom edge");
  CheckEq(ClassOf(label), "Static", "the version label is a STATIC");
  CheckEq(StyleOf(label) & SS_TYPEMASK, static_cast<LONG_PTR>(SS_CENTER), "the version label is centred");
  CheckEq(TextOf(label), "version 3.5", "the version label's text");
  Check(GetParent(label) == panel, "the version label lies on the panel");
  CheckEq(Describe(RectInParent(label)), Describe(RECT{S(7), S(7), S(196), S(33)}), "the label's place on the panel");
  CheckEq(Describe(RectInParent(panel)), Describe(RECT{S(7), S(7), S(209), S(46)}), "the panel's place");
  CheckEq(ClassOf(list), "ListBox", "the image list is a LISTBOX");
  Check(!IsWindowVisible(list), "the image list is hidden");
  CheckEq(static_cast<size_t>(SendMessageA(list, LB_GETCOUNT, 0, 0)), p.ProgSrc->Items.size(), "the list holds the image");

  int pw = 0, ph = 0;
  const auto painted = PaintedClient(panel, pw, ph);
  CheckEq(painted[0], Rgb(GetSysColor(COLOR_BTNSHADOW)), "the panel's bevel is lowered: shadow at the top left");
  CheckEq(painted.back(), Rgb(GetSysColor(COLOR_BTNHIGHLIGHT)), "and highlight at the bottom right");
  CheckEq(painted[static_cast<size_t>(2 * pw + 2)], Rgb(GetSysColor(COLOR_BTNFACE)), "inside the bevel is button face");

  CheckFont(label, "version label", "MS Serif", S(25), FW_BOLD, EASTEUROPE_CHARSET);
  CheckFont(start, "Start", "MS Sans Serif", S(11), FW_NORMAL, DEFAULT_CHARSET);
  CheckFont(status, "status line", "MS Sans Serif", S(11), FW_NORMAL, DEFAULT_CHARSET);
  CheckFont(bar, "progress bar", "MS Sans Serif", S(11), FW_NORMAL, DEFAULT_CHARSET);

  // Tab order is the z-order of the controls, in the form's order; only
  // Start takes the focus.
  std::vector<HWND> order;
  for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) order.push_back(c);
  Check(order == std::vector<HWND>{panel, start, bar, list, status}, "the controls are in the form's order");
  Check(StyleOf(start) & WS_TABSTOP, "Start is a tab stop");
  Check(GetNextDlgTabItem(w, start, FALSE) == start && GetNextDlgTabItem(w, start, TRUE) == start,
        "Tab and Shift+Tab stay on Start");
  Check(GetFocus() == start, "Start has the focus");

  auto big = reinterpret_cast<HICON>(SendMessageA(w, WM_GETICON, ICON_BIG, 0));
  auto small = reinterpret_cast<HICON>(SendMessageA(w, WM_GETICON, ICON_SMALL, 0));
  Check(big && small, "the window has its icon, large and small");
  ICONINFO ii{};
  Check(GetIconInfo(big, &ii), "the icon can be read");
  BITMAP bm{};
  GetObjectA(ii.hbmColor, sizeof bm, &bm);
  if (bm.bmWidth == 32 && bm.bmHeight == 32) {
    const auto colour = Pixels(ii.hbmColor, 32, 32);
    const auto mask = Pixels(ii.hbmMask, 32, 32);
    const auto want = XpmPixels(odu::kIconXpm);
    int wrong = 0;
    for (size_t i = 0; i < want.size(); ++i) {
      const bool transparent = mask[i] != 0;
      if (transparent != (want[i] < 0) || (!transparent && colour[i] != static_cast<uint32_t>(want[i]))) ++wrong;
    }
    CheckEq(wrong, 0, "every pixel of the 32 x 32 icon is the XPM's (wrong pixels)");
  } else {
    std::printf("(the large icon is %ld x %ld here: pixels not compared)\n", bm.bmWidth, bm.bmHeight);
  }
  DeleteObject(ii.hbmColor);
  DeleteObject(ii.hbmMask);
}

void Upgrade(const std::string& pictures) {
  Fixture f;
  odu::TMainPanel& p = *f.panel;
  odu::sim::SimulatedStation station(f.toolkit.clock(), 19200);
  p.Port->SetOpener(&station.opener());
  p.Show();
  HWND w = WindowOf(p), start = WindowOf(*p.Button1), status = WindowOf(*p.StaticText1);
  HWND bar = WindowOf(*p.ProgressBar1);
  // The scan blocks the window's thread: by the time it asks for the ports
  // the status line must have been painted (no update pending).
  bool painted_before_scan = false;
  p.ListPorts = [&](std::vector<std::string>& list) {
    painted_before_scan = TextOf(status) == "Initialize bootloader..." && !GetUpdateRect(status, nullptr, FALSE);
    list.clear();
  };
  int bar_seen_at = 0;
  bool mid_announced = false;

  Script script(
      f.toolkit,
      {
          {"Alt+S presses Start",
           [&] {
             PostMessageA(start, WM_SYSCHAR, 's', 1 << 29);
             return true;
           }},
          {"the box for no station opens",
           [&] {
             HWND box = FindBox("Hardware error.");
             if (!box) return false;
             Check(painted_before_scan, "the status line was painted before the port scan");
             CheckEq(TextOf(status), "Initialize bootloader...", "while the box is open the status line says so");
             Check(!IsWindowEnabled(start), "and Start is disabled");
             CheckAndAnswerBox(box, "Station ORVELA not found.", w);
             return true;
           }},
          {"the run ends without a station",
           [&] {
             if (FindBox("Hardware error.") || !IsWindowEnabled(start)) return false;
             CheckEq(TextOf(status), "", "the status line is empty again");
             p.ListPorts = [](std::vector<std::string>& list) { list.assign(1, odu::sim::SimulatedStation::kPortName); };
             PostMessageA(start, BM_CLICK, 0, 0);
             return true;
           }},
          {"the upgrade runs to Done.",
           [&] {
             const int pos = static_cast<int>(SendMessageA(bar, PBM_GETPOS, 0, 0));
             if (p.Step == 2 && p.ProgressBar1->Position() > 0 && pos == p.ProgressBar1->Position()) bar_seen_at = pos;
             if (!pictures.empty() && !mid_announced && pos > p.ProgressBar1->Max() / 3) {
               Announce(pictures + "/mid.ready", w);
               mid_announced = true;
             }
             return TextOf(status) == "Done.";
           }},
          {"the window is pictured at Done.",
           [&] {
             Check(bar_seen_at > 0, "mid-run the bar showed the run's position (" + std::to_string(bar_seen_at) + ")");
             Check(station.FlashMatches(p.Image), "the station's flash equals the image");
             Check(IsWindowEnabled(start), "Start is enabled again");
             if (pictures.empty()) return true;
             Announce(pictures + "/done.ready", w);
             return Exists(pictures + "/done.taken");
           }},
          {"closing the window ends the loop",
           [&] {
             PostMessageA(w, WM_CLOSE, 0, 0);
             return true;
           }},
      },
      // 20 ms ticks: a run at 19,200 baud takes well under a minute.
      pictures.empty() ? 3000 : 6000);
  script.Run();
  Check(!p.Showing() && !IsWindowVisible(w), "the closed window is hidden and the form no longer showing");
  Check(!p.Port->Connected(), "the port is closed");
}

void ToolkitGroup() {
  {
    // Workers call in before any window exists and before the loop runs.
    Fixture f;
    const Toolkit::SyncOwner owner = f.toolkit.NewSyncOwner();
    std::atomic<bool> ran{false};
    bool returned = false;
    std::thread early([&] { returned = f.toolkit.Synchronize(owner, [&] { ran = true; }); });
    std::thread boxer([&] {
      while (!ran) std::this_thread::yield();
      f.toolkit.MessageBox("from a worker", "Worker box");
    });
    Script script(f.toolkit,
                  {{"the early call runs", [&] { return ran.load(); }},
                   {"the worker's box opens on the window's thread",
                    [&] {
                      HWND box = FindBox("Worker box");
                      if (!box) return false;
                      CheckAndAnswerBox(box, "from a worker", nullptr);
                      return true;
                    }},
                   {"the worker's box returns",
                    [&] {
                      if (!boxer.joinable()) return true;
                      boxer.join();
                      f.toolkit.Quit();
                      return true;
                    }}},
                  3000);
    script.Run();
    early.join();
    Check(ran.load() && returned, "a call made before the loop ran once the loop ran");
  }
  {
    // The application's exception display: a box with the message under
    // the application's title (closed by a tick inside the box's own loop).
    Fixture f;
    TTimer closer(nullptr);
    closer.SetInterval(20);
    int ticks = 0;
    bool seen = false;
    closer.OnTimer = [&](TTimer&) {
      if (HWND box = FindBox(f.app.Title)) {
        CheckAndAnswerBox(box, "shown by the application", nullptr);
        seen = true;
      } else if (++ticks > 500) {
        Fail("the exception box opened", " (it never did)");
      }
    };
    closer.SetEnabled(true);
    f.app.ShowException(ToolkitError("shown by the application"));
    closer.SetEnabled(false);
    Check(seen, "ShowException shows the message in a box captioned with the title");
  }
  {
    // An exception that escapes a handler ends the loop and comes out of it.
    Fixture f;
    TTimer thrower(nullptr);
    thrower.SetInterval(10);
    thrower.OnTimer = [](TTimer&) { throw ToolkitError("out of a tick"); };
    thrower.SetEnabled(true);
    std::string caught;
    try {
      f.toolkit.RunLoop();
    } catch (const ToolkitError& e) {
      caught = e.what();
    }
    CheckEq(caught, "out of a tick", "RunLoop rethrows what escaped a timer's handler");
    thrower.SetEnabled(false);
    f.toolkit.Quit();
    f.toolkit.RunLoop();
    Check(true, "Quit before RunLoop makes it return at once");
  }
  {
    // A wake-up left queued by a toolkit that is gone reaches nobody.
    auto first = std::make_unique<Win32Toolkit>();
    const Toolkit::SyncOwner owner = first->NewSyncOwner();
    std::thread late([&] { first->Synchronize(owner, [] { Fail("a cancelled call ran", ""); }); });
    MSG queued;
    while (!PeekMessageA(&queued, first->message_window(), 0, 0, PM_NOREMOVE)) std::this_thread::yield();
    first->CancelSynchronize(owner);
    late.join();
    first.reset();
    Win32Toolkit second;
    bool ran = false;
    std::thread caller([&] { second.Synchronize(owner, [&] { ran = true; second.Quit(); }); });
    second.RunLoop();
    caller.join();
    Check(ran, "a wake-up queued for a destroyed toolkit is harmless to the next one");
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const std::string group = argc > 1 ? argv[1] : "";
  std::string pictures;
  for (int i = 2; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--pictures") pictures = argv[i + 1];
  if (group == "layout") {
    Layout();
  } else if (group == "upgrade") {
    Upgrade(pictures);
  } else if (group == "toolkit") {
    ToolkitGroup();
  } else {
    std::fprintf(stderr, "usage: win32_window_test layout | upgrade [--pictures DIR] | toolkit\n");
    return 2;
  }
  std::printf("PASS: %s\n", group.c_str());
  return 0;
}
