// Controls of the window toolkit: plain state that the program and the tests
// read and write. A backend that shows them (Qt, Win32) attaches a peer to
// each control and mirrors every change; the headless backend attaches none.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/toolkit/toolkit.h"

namespace odu::platform {

struct TFont {
  std::string Name = "MS Sans Serif";
  int Height = 11;  // pixels at the form's design resolution
  bool Bold = false;
  int Charset = 1;  // 1 default, 238 Central European

  bool operator==(const TFont&) const = default;
};

enum class TAlignment { Left, Right, Center };

class TControl;

// The backend's side of one control.
class ControlPeer {
 public:
  virtual ~ControlPeer() = default;
  // The control's state changed: show it.
  virtual void Changed() = 0;
  // Paint the control now, without handling any other message.
  virtual void Repaint() = 0;
};

class TControl : public TComponent {
 public:
  TControl(TComponent* owner, std::string kind);
  ~TControl() override;

  const std::string& Kind() const { return kind_; }

  TControl* Parent() const { return parent_; }
  void SetParent(TControl* parent);
  const std::vector<TControl*>& Children() const { return children_; }  // in tab order

  // Position and size in pixels at the form's design resolution, relative
  // to the parent's client area.
  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetBounds(int left, int top, int width, int height);

  bool Visible() const { return visible_; }
  void SetVisible(bool visible);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);
  const TFont& Font() const { return font_; }
  void SetFont(const TFont& font);
  bool ParentFont() const { return parent_font_; }
  // The font in effect: the control's own, or its parent's.
  const TFont& EffectiveFont() const;

  // Paints the control now (and only it), without handling other messages.
  void Repaint();

  ControlPeer* Peer() const { return peer_.get(); }
  void SetPeer(std::unique_ptr<ControlPeer> peer) { peer_ = std::move(peer); }

 protected:
  void Changed();

 private:
  std::string kind_;
  TControl* parent_ = nullptr;
  std::vector<TControl*> children_;
  int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
  bool visible_ = true;
  bool enabled_ = true;
  bool parent_font_ = true;
  std::string caption_;
  TFont font_;
  std::unique_ptr<ControlPeer> peer_;
};

class TButton : public TControl {
 public:
  explicit TButton(TComponent* owner) : TControl(owner, "TButton") {}
  std::function<void(TButton& sender)> OnClick;
  // A click by the user or a program: runs OnClick while enabled.
  void Click();
};

class TProgressBar : public TControl {
 public:
  explicit TProgressBar(TComponent* owner) : TControl(owner, "TProgressBar") {}
  int Min() const { return min_; }
  int Max() const { return max_; }
  int Position() const { return position_; }
  void SetMin(int v);
  void SetMax(int v);
  // Any value is kept as given; how a position past the range is drawn is
  // the backend's affair.
  void SetPosition(int v);
  bool Smooth = false;

 private:
  int min_ = 0, max_ = 100, position_ = 0;
};

class TStaticText : public TControl {
 public:
  explicit TStaticText(TComponent* owner) : TControl(owner, "TStaticText") {}
  bool Sunken = false;
  bool AutoSize = true;
};

class TLabel : public TControl {
 public:
  explicit TLabel(TComponent* owner) : TControl(owner, "TLabel") {}
  TAlignment Alignment = TAlignment::Left;
  bool AutoSize = true;
};

class TPanel : public TControl {
 public:
  explicit TPanel(TComponent* owner) : TControl(owner, "TPanel") {}
  enum class Bevel { None, Lowered, Raised };
  Bevel BevelOuter = Bevel::Raised;
};

// A list of text lines; the upgrade window keeps one hidden.
class TListBox : public TControl {
 public:
  explicit TListBox(TComponent* owner) : TControl(owner, "TListBox") {}
  std::vector<std::string> Items;
};

enum class TCloseAction { None, Hide, Free, Minimize };

class TForm : public TControl {
 public:
  explicit TForm(TComponent* owner) : TControl(owner, "TForm") {}
  ~TForm() override;

  // Design resolution of positions and fonts.
  int PixelsPerInch = 120;
  int ClientWidth = 0;
  int ClientHeight = 0;
  bool FixedSize = true;     // single border, not resizable
  bool MinimizeBox = true;   // the title bar's buttons: system menu and minimize
  bool MaximizeBox = false;
  bool CenterOnScreen = true;
  std::string IconXpm;       // the window's icon as XPM text, if any
  TControl* ActiveControl = nullptr;

  std::function<void(TForm& sender, TCloseAction& action)> OnClose;

  // Shows the window (the backend creates the peers of it and its controls).
  void Show();
  bool Showing() const { return showing_; }
  // Asks the window to close, as its close button does: runs OnClose and,
  // unless the handler says None, hides it.
  void Close();

  // Finds a component owned by this form by name.
  TComponent* FindComponent(const std::string& name) const;
  template <typename T>
  T* Find(const std::string& name) const {
    return dynamic_cast<T*>(FindComponent(name));
  }

  // Called by the form loader for each event the description binds
  // ("OnClick = Button1Click"): installs the named handler on `component`.
  // False when this form has no such handler.
  virtual bool BindEvent(TComponent& component, const std::string& event, const std::string& handler);

 private:
  bool showing_ = false;
};

// The application object: title, the main window, the loop.
class TApplication : public TComponent {
 public:
  explicit TApplication(Toolkit& toolkit);
  ~TApplication() override;
  void Initialize() {}
  std::string Title;
  TForm* MainForm = nullptr;

  // Creates a form owned by the application; the first becomes the main form.
  template <typename T>
  void CreateForm(T*& ref) {
    ref = new T(this);
    if (!MainForm) MainForm = ref;
  }
  // Shows the main form and runs the loop until it closes.
  void Run();
  // The standard display of an exception: a box with its message.
  void ShowException(const std::exception& e);
  Toolkit& toolkit() const { return toolkit_; }

 private:
  Toolkit& toolkit_;
};

// The application object of the running program, if one exists.
TApplication* Application();

// The form `control` is on (the control itself when it is one), or null.
const TForm* FormOf(const TControl& control);

// A serif family ("MS Serif", not "MS Sans Serif"): what a backend asks its
// font matching for when the design's face is not installed.
bool IsSerifFamily(const std::string& name);

}  // namespace odu::platform
