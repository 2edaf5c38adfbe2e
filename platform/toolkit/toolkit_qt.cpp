#include "platform/toolkit/toolkit_qt.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <utility>

namespace odu::platform {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A design length times the scale, in whole pixels, kept in a sane range
// whatever a description says.
int Px(double v) { return static_cast<int>(std::lround(std::clamp(v, -1e7, 1e7))); }

// Scales the edges rather than the sizes, so that controls that meet at
// design size still meet on screen.
QRect ScaledRect(const TControl& c, double s) {
  const double l = c.Left(), t = c.Top();
  const int x0 = Px(l * s), y0 = Px(t * s);
  const int x1 = Px((l + c.Width()) * s), y1 = Px((t + c.Height()) * s);
  return QRect(x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0));
}

// Design font heights are pixel heights at the form's resolution.
QFont MakeFont(const TFont& f, double scale) {
  QFont font;
  font.setFamily(Q(f.Name));
  font.setStyleHint(IsSerifFamily(f.Name) ? QFont::Serif : QFont::SansSerif);
  font.setPixelSize(std::max(1, Px(f.Height * scale)));
  font.setBold(f.Bold);
  // The character set needs nothing: Qt's text is Unicode.
  return font;
}

// Label text as drawn: "&x" underlines x in the original toolkit; a QLabel
// without a buddy would show the ampersand, so drop it ("&&" is one '&').
QString LabelText(const std::string& caption) {
  std::string out;
  for (size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&' && i + 1 < caption.size()) ++i;
    out += caption[i];
  }
  return Q(out);
}

// ---- peers ----

class WidgetPeer : public QtPeer {
 public:
  WidgetPeer(QtToolkit& toolkit, TControl& control) : toolkit_(toolkit), control_(control) {}
  ~WidgetPeer() override { delete widget_.data(); }

  QWidget* widget() const override { return widget_.data(); }

  void Changed() override {
    if (!widget_) return;
    // This peer may not be attached to its control yet (CreatePeer).
    ApplyFont();
    for (TControl* child : control_.Children())
      if (child->ParentFont()) ApplyFontTree(*child);
    ShowState();
  }

  // QWidget::repaint() paints through a sent, not a posted, event: nothing
  // else queued for the window thread runs.
  void Repaint() override {
    if (widget_) widget_->repaint();
  }

  void ApplyFont() {
    if (widget_) widget_->setFont(MakeFont(control_.EffectiveFont(), scale()));
  }

 protected:
  void Attach(QWidget* w) { widget_ = w; }
  double scale() const {
    const TForm* form = FormOf(control_);
    return form ? QtToolkit::Scale(*form) : 1.0;
  }

  // Everything but the font.
  virtual void ShowState() {
    widget_->setGeometry(ScaledRect(control_, scale()));
    widget_->setEnabled(control_.Enabled());
    ShowOwn();
    widget_->setVisible(control_.Visible());
  }
  virtual void ShowOwn() {}

  QtToolkit& toolkit_;
  TControl& control_;

 private:
  // The control's own font, and the parent's on every child that takes it.
  static void ApplyFontTree(TControl& c) {
    if (auto* p = dynamic_cast<WidgetPeer*>(c.Peer())) p->ApplyFont();
    for (TControl* child : c.Children())
      if (child->ParentFont()) ApplyFontTree(*child);
  }

  QPointer<QWidget> widget_;  // Qt deletes a child with its parent
};

class ButtonPeer final : public WidgetPeer {
 public:
  ButtonPeer(QtToolkit& toolkit, TButton& button, QWidget* parent) : WidgetPeer(toolkit, button), button_(button) {
    auto* w = new QPushButton(parent);
    QObject::connect(w, &QPushButton::clicked, w, [this] { toolkit_.Dispatch([this] { button_.Click(); }); });
    Attach(w);
  }

 private:
  // Qt reads '&' as the mnemonic: "&Start" is Alt+S.
  void ShowOwn() override { static_cast<QPushButton*>(widget())->setText(Q(button_.Caption())); }
  TButton& button_;
};

class ProgressPeer final : public WidgetPeer {
 public:
  ProgressPeer(QtToolkit& toolkit, TProgressBar& bar, QWidget* parent) : WidgetPeer(toolkit, bar), bar_(bar) {
    auto* w = new QProgressBar(parent);
    w->setTextVisible(false);
    Attach(w);
  }

 private:
  void ShowOwn() override {
    auto* w = static_cast<QProgressBar*>(widget());
    const int lo = bar_.Min();
    const int hi = std::max(bar_.Min(), bar_.Max());
    if (lo == hi) {
      // An empty range would make QProgressBar animate as "busy".
      w->setRange(0, 1);
      w->setValue(0);
      return;
    }
    w->setRange(lo, hi);
    // The position is kept as given; only its picture is clamped.
    w->setValue(std::clamp(bar_.Position(), lo, hi));
  }
  TProgressBar& bar_;
};

class StaticTextPeer final : public WidgetPeer {
 public:
  StaticTextPeer(QtToolkit& toolkit, TStaticText& text, QWidget* parent) : WidgetPeer(toolkit, text), text_(text) {
    auto* w = new QLabel(parent);
    w->setTextFormat(Qt::PlainText);
    w->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Attach(w);
  }

 private:
  void ShowOwn() override {
    auto* w = static_cast<QLabel*>(widget());
    w->setFrameStyle(text_.Sunken ? (QFrame::Panel | QFrame::Sunken) : QFrame::NoFrame);
    w->setText(LabelText(text_.Caption()));
  }
  TStaticText& text_;
};

class LabelPeer final : public WidgetPeer {
 public:
  LabelPeer(QtToolkit& toolkit, TLabel& label, QWidget* parent) : WidgetPeer(toolkit, label), label_(label) {
    auto* w = new QLabel(parent);
    w->setTextFormat(Qt::PlainText);
    Attach(w);
  }

 private:
  void ShowOwn() override {
    auto* w = static_cast<QLabel*>(widget());
    Qt::Alignment h = Qt::AlignLeft;
    if (label_.Alignment == TAlignment::Center) h = Qt::AlignHCenter;
    if (label_.Alignment == TAlignment::Right) h = Qt::AlignRight;
    w->setAlignment(h | Qt::AlignTop);
    w->setText(LabelText(label_.Caption()));
  }
  TLabel& label_;
};

class PanelPeer final : public WidgetPeer {
 public:
  PanelPeer(QtToolkit& toolkit, TPanel& panel, QWidget* parent) : WidgetPeer(toolkit, panel), panel_(panel) {
    Attach(new QFrame(parent));
  }

 private:
  void ShowOwn() override {
    auto* w = static_cast<QFrame*>(widget());
    switch (panel_.BevelOuter) {
      case TPanel::Bevel::Lowered: w->setFrameStyle(QFrame::Panel | QFrame::Sunken); break;
      case TPanel::Bevel::Raised: w->setFrameStyle(QFrame::Panel | QFrame::Raised); break;
      case TPanel::Bevel::None: w->setFrameStyle(QFrame::NoFrame); break;
    }
  }
  TPanel& panel_;
};

class ListBoxPeer final : public WidgetPeer {
 public:
  ListBoxPeer(QtToolkit& toolkit, TListBox& list, QWidget* parent) : WidgetPeer(toolkit, list), list_(list) {
    Attach(new QListWidget(parent));
  }

 private:
  // Items is a plain field: compare with what is shown.
  void ShowOwn() override {
    if (shown_ == list_.Items) return;
    auto* w = static_cast<QListWidget*>(widget());
    w->clear();
    for (const std::string& item : list_.Items) w->addItem(Q(item));
    shown_ = list_.Items;
  }
  TListBox& list_;
  std::vector<std::string> shown_;
};

// The top-level window. Its close button asks the form, which may refuse.
class FormWindow final : public QWidget {
 public:
  FormWindow(QtToolkit& toolkit, TForm& form) : toolkit_(toolkit), form_(form) {}

 protected:
  void closeEvent(QCloseEvent* event) override {
    if (form_.Showing()) toolkit_.Dispatch([this] { form_.Close(); });
    if (form_.Showing())
      event->ignore();
    else
      event->accept();
  }

 private:
  QtToolkit& toolkit_;
  TForm& form_;
};

class FormPeer final : public WidgetPeer {
 public:
  FormPeer(QtToolkit& toolkit, TForm& form) : WidgetPeer(toolkit, form), form_(form) {
    Attach(new FormWindow(toolkit, form));
  }

 private:
  void ShowState() override {
    QWidget* w = widget();
    w->setWindowTitle(Q(form_.Caption()));
    ShowFrame(w);
    ShowIcon(w);
    w->setEnabled(form_.Enabled());

    const bool show = form_.Showing() && form_.Visible();
    if (show && !w->isVisible()) {
      SetTabOrder();
      Place(w);
      w->show();
      if (form_.ActiveControl)
        if (QWidget* focus = WidgetOf(*form_.ActiveControl)) focus->setFocus(Qt::ActiveWindowFocusReason);
    } else if (!show && w->isVisible()) {
      w->hide();
    }
  }

  // Flags and size follow the design values only when those change, so a
  // caption change does not undo what the user did to a resizable window.
  void ShowFrame(QWidget* w) {
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                            Qt::WindowCloseButtonHint;
    if (form_.MinimizeBox) flags |= Qt::WindowMinimizeButtonHint;
    if (form_.MaximizeBox) flags |= Qt::WindowMaximizeButtonHint;
    if (form_.FixedSize) flags |= Qt::MSWindowsFixedSizeDialogHint;
    if (w->windowFlags() != flags) w->setWindowFlags(flags);  // hides the window; ShowState shows it again

    const double s = scale();
    const int width = form_.ClientWidth > 0 ? form_.ClientWidth : form_.Width();
    const int height = form_.ClientHeight > 0 ? form_.ClientHeight : form_.Height();
    const QSize client(std::max(1, Px(width * s)), std::max(1, Px(height * s)));
    if (client == applied_client_ && form_.FixedSize == applied_fixed_) return;
    applied_client_ = client;
    applied_fixed_ = form_.FixedSize;
    if (form_.FixedSize) {
      w->setFixedSize(client);
    } else {
      w->setMinimumSize(0, 0);
      w->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
      w->resize(client);
    }
  }

  void ShowIcon(QWidget* w) {
    if (form_.IconXpm == applied_icon_) return;
    applied_icon_ = form_.IconXpm;
    // Qt's own XPM reader checks the text against its header; a broken icon
    // leaves the window without one.
    QPixmap pixmap;
    const auto* data = reinterpret_cast<const uchar*>(applied_icon_.data());
    if (applied_icon_.empty() || !pixmap.loadFromData(data, static_cast<uint>(applied_icon_.size()), "XPM")) {
      w->setWindowIcon(QIcon());
      return;
    }
    w->setWindowIcon(QIcon(pixmap));
  }

  // Centred on the screen, or where the design put it.
  void Place(QWidget* w) {
    if (!form_.CenterOnScreen) {
      const double s = scale();
      w->move(Px(form_.Left() * s), Px(form_.Top() * s));
      return;
    }
    const QScreen* screen = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect r(QPoint(0, 0), w->frameGeometry().size());
    r.moveCenter(screen->availableGeometry().center());
    w->move(r.topLeft());
  }

  // Tab order is the order of the controls, depth first.
  void SetTabOrder() {
    std::vector<QWidget*> order;
    std::vector<const TControl*> stack;
    for (auto it = form_.Children().rbegin(); it != form_.Children().rend(); ++it) stack.push_back(*it);
    while (!stack.empty()) {
      const TControl* c = stack.back();
      stack.pop_back();
      if (QWidget* w = WidgetOf(*c)) order.push_back(w);
      for (auto it = c->Children().rbegin(); it != c->Children().rend(); ++it) stack.push_back(*it);
    }
    for (size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
  }

  TForm& form_;
  QSize applied_client_;
  bool applied_fixed_ = false;
  std::string applied_icon_;
};

// ---- timers ----

class QtTimer final : public TimerImpl {
 public:
  QtTimer(QtToolkit& toolkit, TTimer& timer) {
    qtimer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&qtimer_, &QTimer::timeout, &qtimer_, [&toolkit, &timer] { toolkit.Dispatch([&timer] { timer.Tick(); }); });
  }
  // QTimer is periodic; start() re-arms it from now.
  void Start(Nanos interval) override {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(interval).count();
    qtimer_.start(std::chrono::milliseconds(std::clamp<int64_t>(ms, 0, INT_MAX)));
  }
  void Stop() override { qtimer_.stop(); }

 private:
  QTimer qtimer_;
};

}  // namespace

QWidget* WidgetOf(const TControl& control) {
  auto* peer = dynamic_cast<QtPeer*>(control.Peer());
  return peer ? peer->widget() : nullptr;
}

// ---- the toolkit ----

QtToolkit::QtToolkit(int& argc, char** argv) : Toolkit(RealTime()), owned_app_(std::make_unique<QApplication>(argc, argv)) {
  Setup();
}

QtToolkit::QtToolkit(QApplication&) : Toolkit(RealTime()) { Setup(); }

QtToolkit::~QtToolkit() = default;

void QtToolkit::Setup() {
  gui_context_ = std::make_unique<QObject>();
  // The program ends when its main form closes (TForm::Close calls Quit),
  // not when Qt sees no window: a message box shown with no window must
  // not end the loop when it closes.
  QApplication::setQuitOnLastWindowClosed(false);
  // The design fonts are the original platform's; map them to what Linux
  // machines have, in order of likeness.
  QFont::insertSubstitutions("MS Sans Serif", {"DejaVu Sans", "Liberation Sans", "Noto Sans", "FreeSans"});
  QFont::insertSubstitutions("MS Serif", {"DejaVu Serif", "Liberation Serif", "Noto Serif", "FreeSerif"});
}

double QtToolkit::Scale(const TForm& form) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen || form.PixelsPerInch <= 0) return 1.0;
  return screen->logicalDotsPerInch() / form.PixelsPerInch;
}

void QtToolkit::MessageBox(const std::string& text, const std::string& caption) {
  if (!IsWindowThread()) {
    // Widgets live on the GUI thread only.
    Synchronize(kOwnCalls, [&] { MessageBox(text, caption); });
    return;
  }
  boxes_.push_back(Box{text, caption});
  QMessageBox box(QMessageBox::NoIcon, Q(caption), Q(text), QMessageBox::Ok, QApplication::activeWindow());
  box.setTextFormat(Qt::PlainText);
  // Runs inside exec(), with the box on screen.
  QMetaObject::invokeMethod(
      &box, [this, &box] { if (on_box_shown) on_box_shown(box); }, Qt::QueuedConnection);
  box.exec();
}

std::unique_ptr<TimerImpl> QtToolkit::CreateTimer(TTimer& timer) { return std::make_unique<QtTimer>(*this, timer); }

std::unique_ptr<ControlPeer> QtToolkit::CreatePeer(TControl& control) {
  std::unique_ptr<WidgetPeer> peer;
  if (auto* form = dynamic_cast<TForm*>(&control)) {
    peer = std::make_unique<FormPeer>(*this, *form);
  } else {
    // Only controls inside a shown window get a widget.
    QWidget* parent = control.Parent() ? WidgetOf(*control.Parent()) : nullptr;
    if (!parent) return nullptr;
    if (auto* b = dynamic_cast<TButton*>(&control))
      peer = std::make_unique<ButtonPeer>(*this, *b, parent);
    else if (auto* p = dynamic_cast<TProgressBar*>(&control))
      peer = std::make_unique<ProgressPeer>(*this, *p, parent);
    else if (auto* s = dynamic_cast<TStaticText*>(&control))
      peer = std::make_unique<StaticTextPeer>(*this, *s, parent);
    else if (auto* l = dynamic_cast<TLabel*>(&control))
      peer = std::make_unique<LabelPeer>(*this, *l, parent);
    else if (auto* pn = dynamic_cast<TPanel*>(&control))
      peer = std::make_unique<PanelPeer>(*this, *pn, parent);
    else if (auto* lb = dynamic_cast<TListBox*>(&control))
      peer = std::make_unique<ListBoxPeer>(*this, *lb, parent);
    else
      return nullptr;
  }
  peer->Changed();
  return peer;
}

void QtToolkit::RunLoop() {
  if (!quit_requested_) QApplication::exec();
  quit_requested_ = false;
  if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
}

// exit(), not quit(): Qt 6's quit() first closes every window, which would
// run the form's close handler a second time.
void QtToolkit::Quit() {
  quit_requested_ = true;
  QCoreApplication::exit(0);
}

void QtToolkit::Dispatch(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    if (!pending_) pending_ = std::current_exception();
    Quit();
  }
}

void QtToolkit::WakeForSynchronize() {
  // Posting an event is thread-safe; the call runs on gui_context_'s thread.
  QMetaObject::invokeMethod(
      gui_context_.get(),
      [this] {
        Dispatch([this] { RunSynchronized(); });
        if (HasSynchronized()) WakeForSynchronize();  // what a throwing call left behind
      },
      Qt::QueuedConnection);
}

}  // namespace odu::platform
