// The Qt toolkit on a small form: scaled geometry, the frame, mirrored
// control state, fonts, message boxes, timers, synchronous calls from worker
// threads, Repaint, closing, and exceptions escaping a handler.
#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <thread>

#include "tests/window/paint_counter.h"
#include "platform/toolkit/form_loader.h"
#include "platform/toolkit/toolkit_qt.h"

namespace odu::platform {
namespace {

constexpr char kDescription[] = R"(object TestForm: TTestForm
  Caption = 'Toolkit test'
  ClientWidth = 200
  ClientHeight = 100
  PixelsPerInch = 120
  BorderStyle = bsSingle
  BorderIcons = [biSystemMenu, biMinimize]
  Position = poScreenCenter
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  OnClose = FormClose
  object Panel1: TPanel
    Left = 10
    Top = 10
    Width = 120
    Height = 40
    BevelOuter = bvLowered
    object Label1: TLabel
      Left = 5
      Top = 5
      Width = 110
      Height = 30
      Alignment = taCenter
      Caption = 'Serif && bold'
      Font.Name = 'MS Serif'
      Font.Height = -20
      Font.Style = [fsBold]
      ParentFont = False
    end
  end
  object Button1: TButton
    Left = 10
    Top = 60
    Width = 60
    Height = 20
    Caption = '&Go'
    OnClick = Button1Click
  end
  object Bar: TProgressBar
    Left = 80
    Top = 60
    Width = 110
    Height = 20
  end
  object List: TListBox
    Left = 150
    Top = 10
    Width = 14
    Height = 13
    Visible = False
  end
  object Status: TStaticText
    Left = 0
    Top = 86
    Width = 200
    Height = 14
    AutoSize = False
    BorderStyle = sbsSunken
  end
end
)";

class TestForm : public TForm {
 public:
  explicit TestForm(TComponent* owner) : TForm(owner) {
    LoadForm(*this, kDescription);
    button = Find<TButton>("Button1");
    ActiveControl = button;
  }
  bool BindEvent(TComponent& component, const std::string& event, const std::string& handler) override {
    if (event == "OnClick" && handler == "Button1Click") {
      static_cast<TButton&>(component).OnClick = [this](TButton&) { on_click(); };
      return true;
    }
    if (event == "OnClose" && handler == "FormClose") {
      OnClose = [this](TForm&, TCloseAction& action) { action = close_action; };
      return true;
    }
    return false;
  }
  TButton* button = nullptr;
  std::function<void()> on_click = [] {};
  TCloseAction close_action = TCloseAction::Hide;
};

// A worker that makes one synchronous call and notes where it ran.
class SyncWorker : public TThread {
 public:
  SyncWorker() : TThread(true) {}
  std::thread::id ran_on;
  std::atomic<bool> returned{false};
  bool result = false;

 protected:
  void Execute() override {
    result = Synchronize([this] { ran_on = std::this_thread::get_id(); });
    returned = true;
  }
};

class QtToolkitTest : public ::testing::Test {
 protected:
  QtToolkitTest() : form(std::make_unique<TestForm>(nullptr)) {}

  template <typename W = QWidget>
  W* Widget(const std::string& name) {
    auto* c = form->Find<TControl>(name);
    return c ? qobject_cast<W*>(WidgetOf(*c)) : nullptr;
  }
  QWidget* Window() { return WidgetOf(*form); }
  double Scale() const { return QGuiApplication::primaryScreen()->logicalDotsPerInch() / 120.0; }
  int S(int v) const { return static_cast<int>(std::lround(v * Scale())); }
  // A design rectangle as it should appear on this screen.
  QRect R(int l, int t, int w, int h) const { return QRect(S(l), S(t), S(l + w) - S(l), S(t + h) - S(t)); }

  QtToolkit toolkit{*qApp};
  std::unique_ptr<TestForm> form;
};

TEST_F(QtToolkitTest, WindowIsScaledFixedSizedCentredAndHasNoMaximizeButton) {
  form->Show();
  QWidget* w = Window();
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->isWindow());
  EXPECT_TRUE(w->isVisible());
  EXPECT_EQ(w->windowTitle(), "Toolkit test");
  const QSize client(S(200), S(100));
  EXPECT_EQ(w->size(), client);
  EXPECT_EQ(w->minimumSize(), client);
  EXPECT_EQ(w->maximumSize(), client);

  const Qt::WindowFlags flags = w->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);

  // Centred as well as the window frame, which the platform adds, allows.
  const QRect screen = w->screen()->availableGeometry();
  const QRect frame = w->frameGeometry();
  const int slack = std::max(frame.width() - w->width(), frame.height() - w->height()) / 2 + 1;
  EXPECT_LE(std::abs(frame.center().x() - screen.center().x()), slack);
  EXPECT_LE(std::abs(frame.center().y() - screen.center().y()), slack);
}

TEST_F(QtToolkitTest, ControlsSitAtTheirScaledPositionsInsideTheirParents) {
  form->Show();
  struct Row {
    const char* name;
    const char* parent;
    QRect rect;
  } rows[] = {
      {"Panel1", "", R(10, 10, 120, 40)},      {"Label1", "Panel1", R(5, 5, 110, 30)},
      {"Button1", "", R(10, 60, 60, 20)},      {"Bar", "", R(80, 60, 110, 20)},
      {"List", "", R(150, 10, 14, 13)},        {"Status", "", R(0, 86, 200, 14)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    QWidget* w = Widget(row.name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->geometry(), row.rect);
    QWidget* parent = *row.parent ? Widget(row.parent) : Window();
    EXPECT_EQ(w->parentWidget(), parent);
  }
  // Edges scale, not sizes: the status line spans the whole client width.
  EXPECT_EQ(Widget("Status")->geometry().right() + 1, Window()->width());
}

TEST_F(QtToolkitTest, TabOrderFollowsTheControlsAndFocusStartsOnTheActiveControl) {
  form->Show();
  EXPECT_EQ(Window()->focusWidget(), Widget("Button1"));
  // Depth first: the panel, its label, the button, the bar, the list, the
  // status line (a compound widget's own parts come between).
  const std::vector<std::string> names = {"Panel1", "Label1", "Button1", "Bar", "List", "Status"};
  std::vector<QWidget*> ours;
  for (const auto& n : names) ours.push_back(Widget(n));
  std::vector<QWidget*> chain;
  QWidget* w = ours[0];
  do {
    if (std::find(ours.begin(), ours.end(), w) != ours.end()) chain.push_back(w);
    w = w->nextInFocusChain();
  } while (w != ours[0] && chain.size() < ours.size());
  EXPECT_EQ(chain, ours);
}

TEST_F(QtToolkitTest, ControlStateIsMirroredOnEveryChange) {
  form->Show();
  auto* button = Widget<QPushButton>("Button1");
  auto* bar = Widget<QProgressBar>("Bar");
  auto* status = Widget<QLabel>("Status");
  auto* label = Widget<QLabel>("Label1");
  auto* list = Widget<QListWidget>("List");
  auto* panel = Widget<QFrame>("Panel1");
  ASSERT_TRUE(button && bar && status && label && list && panel);

  EXPECT_EQ(button->text(), "&Go");
  EXPECT_EQ(button->shortcut(), QKeySequence(Qt::ALT | Qt::Key_G));
  EXPECT_EQ(label->text(), "Serif & bold");
  EXPECT_EQ(label->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
  EXPECT_EQ(status->text(), "");
  EXPECT_EQ(status->frameStyle(), QFrame::Panel | QFrame::Sunken);
  EXPECT_EQ(panel->frameStyle(), QFrame::Panel | QFrame::Sunken);
  EXPECT_FALSE(bar->isTextVisible());
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_TRUE(list->isHidden());

  form->button->SetEnabled(false);
  EXPECT_FALSE(button->isEnabled());
  form->button->SetEnabled(true);
  EXPECT_TRUE(button->isEnabled());
  form->Find<TStaticText>("Status")->SetCaption("Working...");
  EXPECT_EQ(status->text(), "Working...");
  form->Find<TControl>("List")->SetVisible(true);
  EXPECT_FALSE(list->isHidden());

  // The bar draws a position past its range at the end; the control keeps it.
  auto* tbar = form->Find<TProgressBar>("Bar");
  tbar->SetMax(400);
  tbar->SetPosition(500);
  EXPECT_EQ(bar->maximum(), 400);
  EXPECT_EQ(bar->value(), 400);
  EXPECT_EQ(tbar->Position(), 500);
  tbar->SetPosition(-3);
  EXPECT_EQ(bar->value(), 0);
  tbar->SetMax(0);  // an empty range is shown empty, not as a busy bar
  EXPECT_LT(bar->minimum(), bar->maximum());
  EXPECT_EQ(bar->value(), bar->minimum());
}

TEST_F(QtToolkitTest, DesignFontsAreScaledAndFallBackToInstalledFamilies) {
  form->Show();
  const QFont serif = Widget("Label1")->font();
  const QFont sans = Widget("Button1")->font();
  EXPECT_EQ(serif.pixelSize(), S(20));
  EXPECT_TRUE(serif.bold());
  EXPECT_EQ(sans.pixelSize(), std::max(1, S(11)));
  EXPECT_FALSE(sans.bold());
  // The panel's label has its own font; the window's other controls take the window's.
  EXPECT_EQ(Widget("Status")->font(), sans);

  const QStringList installed = QFontDatabase::families();
  if (installed.contains("DejaVu Serif") && installed.contains("DejaVu Sans")) {
    EXPECT_EQ(QFontInfo(serif).family(), "DejaVu Serif");
    EXPECT_EQ(QFontInfo(sans).family(), "DejaVu Sans");
  }

  // A new window font reaches the controls that take it.
  TFont bigger = form->Font();
  bigger.Height = 22;
  form->SetFont(bigger);
  EXPECT_EQ(Widget("Button1")->font().pixelSize(), S(22));
  EXPECT_EQ(Widget("Label1")->font().pixelSize(), S(20));
}

TEST_F(QtToolkitTest, MessageBoxIsModalPlainTextWithNoIconAndOnlyOk) {
  struct Seen {
    bool visible = false, modal = false;
    QMessageBox::Icon icon = QMessageBox::Information;
    QMessageBox::StandardButtons buttons;
    QString title, text;
    Qt::TextFormat format = Qt::AutoText;
  } seen;
  toolkit.on_box_shown = [&](QMessageBox& box) {
    seen = {box.isVisible(), box.isModal(), box.icon(), box.standardButtons(), box.windowTitle(), box.text(), box.textFormat()};
    box.button(QMessageBox::Ok)->click();
  };
  toolkit.MessageBox("Port <b>COM1</b> failed.", "Serial Port Error.");
  EXPECT_TRUE(seen.visible);
  EXPECT_TRUE(seen.modal);
  EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
  EXPECT_EQ(seen.buttons, QMessageBox::Ok);
  EXPECT_EQ(seen.title, "Serial Port Error.");
  EXPECT_EQ(seen.text, "Port <b>COM1</b> failed.");
  EXPECT_EQ(seen.format, Qt::PlainText);
  ASSERT_EQ(toolkit.boxes().size(), 1u);
  EXPECT_EQ(toolkit.boxes()[0].caption, "Serial Port Error.");
}

// While a box is open, timers tick and worker threads' synchronous calls run
// on the window's thread: here a timer's third tick closes the box once the
// worker's call has come back.
TEST_F(QtToolkitTest, OpenMessageBoxKeepsTimersAndSynchronizedCallsRunning) {
  SyncWorker* worker = new SyncWorker;  // freed below, after WaitFor
  TTimer timer(nullptr);
  int ticks = 0;
  timer.SetInterval(5);
  timer.OnTimer = [&](TTimer& t) {
    if (++ticks >= 3 && worker->returned) {
      t.SetEnabled(false);
      if (QWidget* box = QApplication::activeModalWidget()) box->close();
    }
  };
  toolkit.on_box_shown = [&](QMessageBox&) {
    worker->Resume();
    timer.SetEnabled(true);
  };
  toolkit.MessageBox("Waiting.", "Test");
  worker->WaitFor();
  EXPECT_TRUE(worker->result);
  EXPECT_EQ(worker->ran_on, std::this_thread::get_id());
  EXPECT_GE(ticks, 3);
  EXPECT_FALSE(timer.Enabled());
  delete worker;
}

// Widgets live on the GUI thread: a box asked for by a worker is shown there,
// and the worker waits for the answer.
TEST_F(QtToolkitTest, MessageBoxFromAWorkerIsShownOnTheWindowThread) {
  struct BoxWorker : TThread {
    BoxWorker() : TThread(true) {}
    std::atomic<bool> returned{false};
    void Execute() override {
      CurrentToolkit().MessageBox("From a worker.", "Worker");
      returned = true;
    }
  } worker;
  std::thread::id shown_on;
  toolkit.on_box_shown = [&](QMessageBox& box) {
    shown_on = std::this_thread::get_id();
    box.button(QMessageBox::Ok)->click();
  };
  worker.Resume();
  EXPECT_TRUE(QTest::qWaitFor([&] { return worker.returned.load(); }, 5000));
  worker.WaitFor();
  EXPECT_EQ(shown_on, std::this_thread::get_id());
  ASSERT_EQ(toolkit.boxes().size(), 1u);
  EXPECT_EQ(toolkit.boxes()[0].text, "From a worker.");
}

// The status line is painted before a blocking operation starts: Repaint
// paints at once and runs nothing else that is queued for the window.
TEST_F(QtToolkitTest, RepaintPaintsTheControlAtOnceWithoutRunningQueuedCalls) {
  form->Show();
  QWidget* status = Widget("Status");
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Window()));
  QTest::qWait(10);

  odu::testing::PaintCounter counter;
  status->installEventFilter(&counter);
  bool queued_ran = false;
  QMetaObject::invokeMethod(qApp, [&] { queued_ran = true; }, Qt::QueuedConnection);

  form->Find<TStaticText>("Status")->SetCaption("Initialize...");
  form->Find<TStaticText>("Status")->Repaint();
  EXPECT_GE(counter.paints, 1);
  EXPECT_FALSE(queued_ran);
  EXPECT_TRUE(QTest::qWaitFor([&] { return queued_ran; }, 1000));
  status->removeEventFilter(&counter);
}

TEST_F(QtToolkitTest, CloseButtonAsksTheFormWhichMayRefuse) {
  form->Show();
  form->close_action = TCloseAction::None;
  EXPECT_FALSE(Window()->close());
  EXPECT_TRUE(form->Showing());
  EXPECT_TRUE(Window()->isVisible());

  form->close_action = TCloseAction::Hide;
  EXPECT_TRUE(Window()->close());
  EXPECT_FALSE(form->Showing());
  EXPECT_FALSE(Window()->isVisible());
}

TEST_F(QtToolkitTest, ExceptionFromAHandlerEndsTheLoopAndReachesRunLoop) {
  form->Show();
  form->on_click = [] { throw ToolkitError("broken handler"); };
  QTimer::singleShot(0, Widget<QPushButton>("Button1"), &QPushButton::click);
  EXPECT_THROW(toolkit.RunLoop(), ToolkitError);
}

TEST_F(QtToolkitTest, QuitBeforeTheLoopMakesItReturnAtOnce) {
  toolkit.Quit();
  toolkit.RunLoop();  // would hang otherwise
  SUCCEED();
}

constexpr char kTinyXpm[] = R"(/* XPM */
static const char *tiny[] = {
"4 2 2 1",
". c #000000",
"x c #FF0000",
"..xx",
"xx.."
};
)";

TEST_F(QtToolkitTest, IconIsReadFromXpmTextAndBadTextLeavesNoIcon) {
  struct Row {
    const char* what;
    std::string xpm;
    bool icon;
  } rows[] = {
      {"valid", kTinyXpm, true},
      {"rows missing", std::string(kTinyXpm).replace(std::string(kTinyXpm).find("\"xx..\""), 6, ""), false},
      {"header lies", std::string(kTinyXpm).replace(std::string(kTinyXpm).find("4 2"), 3, "4 900"), false},
      {"not xpm", "hello", false},
      {"empty", "", false},
  };
  form->Show();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    form->IconXpm = row.xpm;
    form->SetCaption(std::string("Icon: ") + row.what);  // any change shows the new state
    EXPECT_EQ(!Window()->windowIcon().isNull(), row.icon);
  }
}

}  // namespace
}  // namespace odu::platform
