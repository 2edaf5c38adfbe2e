#include "platform/toolkit/toolkit_win32_peers.h"

#include <commctrl.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

namespace odu::platform {

namespace {

constexpr char kFormClass[] = "OduForm";
constexpr char kPanelClass[] = "OduPanel";
// Control ids stay clear of IDOK and IDCANCEL, which IsDialogMessage sends
// for Enter and Esc.
constexpr int kFirstControlId = 100;

HINSTANCE Instance() { return GetModuleHandleA(nullptr); }

// A design length times the scale, in whole pixels, kept in a sane range
// whatever a description says.
int Px(double v) { return static_cast<int>(std::lround(std::clamp(v, -1e7, 1e7))); }

// Scales the edges rather than the sizes, so that controls that meet at
// design size still meet on screen.
RECT ScaledRect(const TControl& c, double s) {
  const double l = c.Left(), t = c.Top();
  const int x0 = Px(l * s), y0 = Px(t * s);
  const int x1 = Px((l + c.Width()) * s), y1 = Px((t + c.Height()) * s);
  return RECT{x0, y0, std::max(x0, x1), std::max(y0, y1)};
}

bool SameRect(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

double ScaleFor(const TForm& form, HWND window) {
  if (form.PixelsPerInch <= 0) return 1.0;
  return static_cast<double>(Win32Toolkit::DpiOf(window)) / form.PixelsPerInch;
}

LONG_PTR Style(HWND w) { return GetWindowLongPtrA(w, GWL_STYLE); }

// Sets the bits of `mask` in the window's style to `bits`; true when that
// changed anything.
bool SetStyleBits(HWND w, LONG_PTR mask, LONG_PTR bits) {
  const LONG_PTR old = Style(w);
  const LONG_PTR now = (old & ~mask) | (bits & mask);
  if (now == old) return false;
  SetWindowLongPtrA(w, GWL_STYLE, now);
  SetWindowPos(w, nullptr, 0, 0, 0, 0, SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(w, nullptr, TRUE);
  return true;
}


// ---- peers ----

class Win32Peer : public ControlPeer {
 public:
  Win32Peer(Win32Toolkit& toolkit, TControl& control) : toolkit_(toolkit), control_(control) {}
  ~Win32Peer() override {
    if (HWND w = hwnd()) {
      SetWindowLongPtrA(w, GWLP_USERDATA, 0);
      DestroyWindow(w);
    }
    if (font_) DeleteObject(font_);
  }

  // The peer's window, while it is alive and still this peer's.
  HWND hwnd() const {
    if (!hwnd_ || !IsWindow(hwnd_)) return nullptr;
    return GetWindowLongPtrA(hwnd_, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(this) ? hwnd_ : nullptr;
  }

  void Changed() override {
    if (!hwnd()) return;
    // This peer may not be attached to its control yet (CreatePeer).
    ApplyFont();
    for (TControl* child : control_.Children())
      if (child->ParentFont()) ApplyFontTree(*child);
    ShowState();
  }

  // Sends WM_PAINT to the window and its children at once: nothing else
  // queued for the window's thread runs.
  void Repaint() override {
    if (HWND w = hwnd()) RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  }

  // A WM_COMMAND notification from this control.
  virtual void Command(WORD) {}

  static Win32Peer* Of(HWND w) { return w ? reinterpret_cast<Win32Peer*>(GetWindowLongPtrA(w, GWLP_USERDATA)) : nullptr; }

 protected:
  void Attach(HWND w) {
    hwnd_ = w;
    if (w) SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  HWND CreateChild(const char* window_class, DWORD style, DWORD ex_style, HWND parent) {
    static int next_id = kFirstControlId;
    HWND w = CreateWindowExA(ex_style, window_class, "", WS_CHILD | WS_CLIPSIBLINGS | style, 0, 0, 0, 0, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(next_id++)), Instance(), nullptr);
    if (!w)
      throw ToolkitError(std::string("Cannot create a window of class ") + window_class + " (error " +
                         std::to_string(GetLastError()) + ").");
    return w;
  }

  virtual double scale() const {
    const TForm* form = FormOf(control_);
    return form ? ScaleFor(*form, WindowOf(*form)) : 1.0;
  }

  // Everything but the font.
  virtual void ShowState() {
    HWND w = hwnd();
    const RECT r = ScaledRect(control_, scale());
    if (!SameRect(r, applied_rect_)) {
      SetWindowPos(w, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
      applied_rect_ = r;
    }
    ShowEnabled(w, control_.Enabled());
    ShowOwn();
    if (static_cast<bool>(Style(w) & WS_VISIBLE) != control_.Visible()) ShowWindow(w, control_.Visible() ? SW_SHOWNA : SW_HIDE);
  }
  virtual void ShowOwn() {}

  // Only when the control's own state changes: a modal box disables its
  // owner, and enabling the window again under the box would let the user
  // click Start or close the window while the box is waiting for an answer.
  void ShowEnabled(HWND w, bool enabled) {
    if (applied_enabled_ == static_cast<int>(enabled)) return;
    EnableWindow(w, enabled);
    applied_enabled_ = enabled;
  }

  void ShowText(const std::string& text) {
    if (text == shown_text_) return;
    SetWindowTextA(hwnd(), text.c_str());
    shown_text_ = text;
  }

  Win32Toolkit& toolkit_;
  TControl& control_;

 private:
  void ApplyFont() {
    HWND w = hwnd();
    if (!w) return;
    const TFont& f = control_.EffectiveFont();
    const int px = std::max(1, Px(f.Height * scale()));
    if (font_ && f == applied_font_ && px == applied_px_) return;
    // A negative height asks for the character height in pixels.
    HFONT font = CreateFontA(-px, 0, 0, 0, f.Bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                             static_cast<DWORD>(std::clamp(f.Charset, 0, 255)), OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                             DEFAULT_QUALITY, DEFAULT_PITCH | (IsSerifFamily(f.Name) ? FF_ROMAN : FF_SWISS), f.Name.c_str());
    if (!font) return;
    SendMessageA(w, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (font_) DeleteObject(font_);
    font_ = font;
    applied_font_ = f;
    applied_px_ = px;
  }
  // The control's own font, and the parent's on every child that takes it.
  static void ApplyFontTree(TControl& c) {
    if (auto* p = dynamic_cast<Win32Peer*>(c.Peer())) p->ApplyFont();
    for (TControl* child : c.Children())
      if (child->ParentFont()) ApplyFontTree(*child);
  }

  HWND hwnd_ = nullptr;
  HFONT font_ = nullptr;
  TFont applied_font_;
  int applied_px_ = 0;
  RECT applied_rect_{INT_MIN, INT_MIN, INT_MIN, INT_MIN};
  int applied_enabled_ = -1;  // none applied yet
  std::string shown_text_;
};

class ButtonPeer final : public Win32Peer {
 public:
  ButtonPeer(Win32Toolkit& toolkit, TButton& button, HWND parent) : Win32Peer(toolkit, button), button_(button) {
    Attach(CreateChild("BUTTON", WS_TABSTOP | BS_PUSHBUTTON, 0, parent));
  }
  void Command(WORD code) override {
    if (code == BN_CLICKED) toolkit_.Dispatch([this] { button_.Click(); });
  }

 private:
  // The system reads '&' as the mnemonic: "&Start" is Alt+S.
  void ShowOwn() override { ShowText(button_.Caption()); }
  TButton& button_;
};

class ProgressPeer final : public Win32Peer {
 public:
  ProgressPeer(Win32Toolkit& toolkit, TProgressBar& bar, HWND parent) : Win32Peer(toolkit, bar), bar_(bar) {
    Attach(CreateChild(PROGRESS_CLASSA, bar.Smooth ? PBS_SMOOTH : 0, 0, parent));
  }

 private:
  void ShowOwn() override {
    HWND w = hwnd();
    SetStyleBits(w, PBS_SMOOTH, bar_.Smooth ? PBS_SMOOTH : 0);
    int lo = bar_.Min();
    int hi = std::max(bar_.Min(), bar_.Max());
    // The position is kept as given; only its picture is clamped.
    int pos = std::clamp(bar_.Position(), lo, hi);
    if (lo == hi) lo = 0, hi = 1, pos = 0;  // an empty range draws as empty
    if (lo != shown_lo_ || hi != shown_hi_) {
      SendMessageA(w, PBM_SETRANGE32, static_cast<WPARAM>(lo), static_cast<LPARAM>(hi));
      shown_lo_ = lo;
      shown_hi_ = hi;
    }
    if (pos != static_cast<int>(SendMessageA(w, PBM_GETPOS, 0, 0))) SendMessageA(w, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
  }
  TProgressBar& bar_;
  int shown_lo_ = 0, shown_hi_ = 100;  // the control's own start
};

class StaticTextPeer final : public Win32Peer {
 public:
  StaticTextPeer(Win32Toolkit& toolkit, TStaticText& text, HWND parent) : Win32Peer(toolkit, text), text_(text) {
    Attach(CreateChild("STATIC", SS_LEFT | SS_NOTIFY | (text.Sunken ? SS_SUNKEN : 0), 0, parent));
  }

 private:
  // The system reads SS_SUNKEN at creation only, as a static edge: a later
  // change sets both.
  void ShowOwn() override {
    HWND w = hwnd();
    SetStyleBits(w, SS_SUNKEN, text_.Sunken ? SS_SUNKEN : 0);
    const LONG_PTR ex = GetWindowLongPtrA(w, GWL_EXSTYLE);
    const LONG_PTR want = text_.Sunken ? (ex | WS_EX_STATICEDGE) : (ex & ~static_cast<LONG_PTR>(WS_EX_STATICEDGE));
    if (want != ex) {
      SetWindowLongPtrA(w, GWL_EXSTYLE, want);
      SetWindowPos(w, nullptr, 0, 0, 0, 0, SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    ShowText(text_.Caption());
  }
  TStaticText& text_;
};

class LabelPeer final : public Win32Peer {
 public:
  LabelPeer(Win32Toolkit& toolkit, TLabel& label, HWND parent) : Win32Peer(toolkit, label), label_(label) {
    Attach(CreateChild("STATIC", SS_LEFT, 0, parent));
  }

 private:
  void ShowOwn() override {
    LONG_PTR align = SS_LEFT;
    if (label_.Alignment == TAlignment::Center) align = SS_CENTER;
    if (label_.Alignment == TAlignment::Right) align = SS_RIGHT;
    SetStyleBits(hwnd(), SS_TYPEMASK, align);
    ShowText(label_.Caption());
  }
  TLabel& label_;
};

// Forwards a control's notification to its peer.
void ForwardCommand(WPARAM wparam, LPARAM lparam) {
  if (Win32Peer* peer = Win32Peer::Of(reinterpret_cast<HWND>(lparam))) peer->Command(HIWORD(wparam));
}

// A panel is a window of the toolkit's own class that paints its bevel and
// passes its children's notifications on.
class PanelPeer final : public Win32Peer {
 public:
  PanelPeer(Win32Toolkit& toolkit, TPanel& panel, HWND parent) : Win32Peer(toolkit, panel), panel_(panel) {
    Attach(CreateChild(kPanelClass, 0, WS_EX_CONTROLPARENT, parent));
  }

  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    auto* self = dynamic_cast<PanelPeer*>(Of(hwnd));
    switch (msg) {
      case WM_COMMAND:
        ForwardCommand(wparam, lparam);
        return 0;
      case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        if (self) self->PaintBevel(dc);
        EndPaint(hwnd, &ps);
        return 0;
      }
      case WM_PRINTCLIENT: {
        HDC dc = reinterpret_cast<HDC>(wparam);
        RECT r;
        GetClientRect(hwnd, &r);
        FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
        if (self) self->PaintBevel(dc);
        return 0;
      }
      default: return DefWindowProcA(hwnd, msg, wparam, lparam);
    }
  }

 private:
  void PaintBevel(HDC dc) const {
    RECT r;
    GetClientRect(hwnd(), &r);
    switch (panel_.BevelOuter) {
      case TPanel::Bevel::Lowered: DrawEdge(dc, &r, BDR_SUNKENOUTER, BF_RECT); break;
      case TPanel::Bevel::Raised: DrawEdge(dc, &r, BDR_RAISEDINNER, BF_RECT); break;
      case TPanel::Bevel::None: break;
    }
  }
  void ShowOwn() override {
    if (panel_.BevelOuter == shown_bevel_) return;
    shown_bevel_ = panel_.BevelOuter;
    InvalidateRect(hwnd(), nullptr, TRUE);
  }
  TPanel& panel_;
  TPanel::Bevel shown_bevel_ = TPanel::Bevel::None;
};

class ListBoxPeer final : public Win32Peer {
 public:
  ListBoxPeer(Win32Toolkit& toolkit, TListBox& list, HWND parent) : Win32Peer(toolkit, list), list_(list) {
    Attach(CreateChild("LISTBOX", WS_TABSTOP | WS_VSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY, WS_EX_CLIENTEDGE, parent));
  }

 private:
  // Items is a plain field: compare with what is shown.
  void ShowOwn() override {
    if (shown_ == list_.Items) return;
    HWND w = hwnd();
    SendMessageA(w, WM_SETREDRAW, FALSE, 0);
    SendMessageA(w, LB_RESETCONTENT, 0, 0);
    for (const std::string& item : list_.Items) SendMessageA(w, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
    SendMessageA(w, WM_SETREDRAW, TRUE, 0);
    shown_ = list_.Items;
  }
  TListBox& list_;
  std::vector<std::string> shown_;
};

// The top-level window. Its close button asks the form, which may refuse.
class FormPeer final : public Win32Peer {
 public:
  FormPeer(Win32Toolkit& toolkit, TForm& form) : Win32Peer(toolkit, form), form_(form) {
    const DWORD style = FrameStyle();
    // A first size with this frame; ShowFrame sets the real one at the
    // window's own DPI.
    RECT r{0, 0, std::max(1, form.ClientWidth), std::max(1, form.ClientHeight)};
    AdjustWindowRectEx(&r, style, FALSE, WS_EX_CONTROLPARENT);
    HWND w = CreateWindowExA(WS_EX_CONTROLPARENT, kFormClass, "", style, CW_USEDEFAULT, CW_USEDEFAULT, r.right - r.left,
                             r.bottom - r.top, nullptr, nullptr, Instance(), nullptr);
    if (!w) throw ToolkitError("Cannot create the window (error " + std::to_string(GetLastError()) + ").");
    Attach(w);
  }

  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    auto* self = dynamic_cast<FormPeer*>(Of(hwnd));
    if (!self) return DefWindowProcA(hwnd, msg, wparam, lparam);
    switch (msg) {
      case WM_CLOSE:
        // The form hides the window, or refuses; it is never destroyed here.
        if (self->form_.Showing()) self->toolkit_.Dispatch([self] { self->form_.Close(); });
        return 0;
      case WM_COMMAND:
        ForwardCommand(wparam, lparam);
        return 0;
      case WM_ACTIVATE:
        // As a dialog does: the control that had the focus gets it back.
        if (LOWORD(wparam) == WA_INACTIVE) {
          HWND focus = GetFocus();
          if (focus && IsChild(hwnd, focus)) self->last_focus_ = focus;
        } else if (self->last_focus_ && IsWindow(self->last_focus_) && IsWindowEnabled(self->last_focus_)) {
          SetFocus(self->last_focus_);
          return 0;
        }
        break;
      case WM_DPICHANGED: {
        self->Relayout(self->form_);
        const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
        SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
      }
      default: break;
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
  }

 private:
  double scale() const override { return ScaleFor(form_, hwnd()); }

  DWORD FrameStyle() const {
    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    if (form_.MinimizeBox) style |= WS_MINIMIZEBOX;
    if (form_.MaximizeBox) style |= WS_MAXIMIZEBOX;
    if (!form_.FixedSize) style |= WS_THICKFRAME;
    return style;
  }

  void ShowState() override {
    HWND w = hwnd();
    ShowText(form_.Caption());
    ShowFrame(w);
    ShowIcon(w);
    ShowEnabled(w, form_.Enabled());

    const bool show = form_.Showing() && form_.Visible();
    if (show && !IsWindowVisible(w)) {
      SetTabOrder();
      Place(w);
      ShowWindow(w, SW_SHOW);
      UpdateWindow(w);
      if (form_.ActiveControl)
        if (HWND focus = WindowOf(*form_.ActiveControl)) SetFocus(focus), last_focus_ = focus;
    } else if (!show && IsWindowVisible(w)) {
      ShowWindow(w, SW_HIDE);
    }
  }

  // The frame and size follow the design values only when those change, so
  // a caption change does not undo what the user did to a resizable window.
  void ShowFrame(HWND w) {
    const bool frame_changed =
        SetStyleBits(w, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME, FrameStyle());
    const double s = scale();
    const int width = form_.ClientWidth > 0 ? form_.ClientWidth : form_.Width();
    const int height = form_.ClientHeight > 0 ? form_.ClientHeight : form_.Height();
    const SIZE client{std::max(1, Px(width * s)), std::max(1, Px(height * s))};
    if (!frame_changed && client.cx == applied_client_.cx && client.cy == applied_client_.cy) return;
    applied_client_ = client;
    // The frame is whatever the system draws around the client area now.
    RECT outer, inner;
    GetWindowRect(w, &outer);
    GetClientRect(w, &inner);
    const int frame_x = (outer.right - outer.left) - inner.right;
    const int frame_y = (outer.bottom - outer.top) - inner.bottom;
    SetWindowPos(w, nullptr, 0, 0, client.cx + frame_x, client.cy + frame_y, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  // The program's icon resource; a form without an icon shows none.
  void ShowIcon(HWND w) {
    const bool want = !form_.IconXpm.empty();
    if (want == icon_shown_) return;
    icon_shown_ = want;
    HANDLE big = nullptr, small = nullptr;
    if (want) {
      const auto* id = MAKEINTRESOURCEA(Win32Toolkit::kIconResource);
      big = LoadImageA(Instance(), id, IMAGE_ICON, GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_SHARED);
      small = LoadImageA(Instance(), id, IMAGE_ICON, GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_SHARED);
    }
    SendMessageA(w, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    SendMessageA(w, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
  }

  // Centred on the work area of the window's monitor, or where the design
  // put it.
  void Place(HWND w) {
    RECT r;
    GetWindowRect(w, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    if (!form_.CenterOnScreen) {
      const double s = scale();
      SetWindowPos(w, nullptr, Px(form_.Left() * s), Px(form_.Top() * s), 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      return;
    }
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoA(MonitorFromWindow(w, MONITOR_DEFAULTTOPRIMARY), &info)) return;
    const RECT& work = info.rcWork;
    const int x = work.left + ((work.right - work.left) - width) / 2;
    const int y = work.top + ((work.bottom - work.top) - height) / 2;
    SetWindowPos(w, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  // Tab order is the z-order of each parent's children: the order of the
  // controls.
  void SetTabOrder() {
    std::vector<const TControl*> stack{&form_};
    while (!stack.empty()) {
      const TControl* c = stack.back();
      stack.pop_back();
      HWND previous = HWND_TOP;
      for (const TControl* child : c->Children()) {
        if (HWND w = WindowOf(*child)) {
          SetWindowPos(w, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
          previous = w;
        }
        stack.push_back(child);
      }
    }
  }

  // Every control again at the window's new DPI.
  static void Relayout(TControl& c) {
    if (ControlPeer* p = c.Peer()) p->Changed();
    for (TControl* child : c.Children()) Relayout(*child);
  }

  TForm& form_;
  SIZE applied_client_{0, 0};
  bool icon_shown_ = false;
  HWND last_focus_ = nullptr;
};

}  // namespace

HWND WindowOf(const TControl& control) {
  auto* peer = dynamic_cast<Win32Peer*>(control.Peer());
  return peer ? peer->hwnd() : nullptr;
}

double Win32Toolkit::Scale(const TForm& form) { return ScaleFor(form, WindowOf(form)); }

namespace win32 {

bool IsFormWindow(HWND w) {
  char name[sizeof kFormClass + 1] = {};
  return w && GetClassNameA(w, name, sizeof name) > 0 && std::string(name) == kFormClass;
}

void RegisterWindowClasses() {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.hInstance = Instance();
  wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));

  wc.lpfnWndProc = FormPeer::Proc;
  wc.lpszClassName = kFormClass;
  RegisterClassExA(&wc);  // fails harmlessly when a toolkit before this one did it

  wc.lpfnWndProc = PanelPeer::Proc;
  wc.lpszClassName = kPanelClass;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  RegisterClassExA(&wc);
}

std::unique_ptr<ControlPeer> CreatePeer(Win32Toolkit& toolkit, TControl& control) {
  std::unique_ptr<Win32Peer> peer;
  if (auto* form = dynamic_cast<TForm*>(&control)) {
    peer = std::make_unique<FormPeer>(toolkit, *form);
  } else {
    // Only controls inside a shown window get a window.
    HWND parent = control.Parent() ? WindowOf(*control.Parent()) : nullptr;
    if (!parent) return nullptr;
    if (auto* b = dynamic_cast<TButton*>(&control))
      peer = std::make_unique<ButtonPeer>(toolkit, *b, parent);
    else if (auto* p = dynamic_cast<TProgressBar*>(&control))
      peer = std::make_unique<ProgressPeer>(toolkit, *p, parent);
    else if (auto* s = dynamic_cast<TStaticText*>(&control))
      peer = std::make_unique<StaticTextPeer>(toolkit, *s, parent);
    else if (auto* l = dynamic_cast<TLabel*>(&control))
      peer = std::make_unique<LabelPeer>(toolkit, *l, parent);
    else if (auto* pn = dynamic_cast<TPanel*>(&control))
      peer = std::make_unique<PanelPeer>(toolkit, *pn, parent);
    else if (auto* lb = dynamic_cast<TListBox*>(&control))
      peer = std::make_unique<ListBoxPeer>(toolkit, *lb, parent);
    else
      return nullptr;
  }
  peer->Changed();
  return peer;
}

}  // namespace win32

}  // namespace odu::platform
