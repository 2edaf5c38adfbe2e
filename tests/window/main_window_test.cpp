// The upgrade window itself on Qt (offscreen): how it looks at start, a
// Start with no serial port, closing it, its icon, and a picture of it kept
// with the build.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/window/paint_counter.h"
#include "app/main_panel.h"
#include "platform/toolkit/toolkit_qt.h"
#include "resources/odu_icon.h"

namespace odu {
namespace {

using namespace odu::platform;

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest() {
    app.Title = "TZ_M -> ODU";
    app.CreateForm(MainPanel);
    panel = MainPanel;
  }
  ~MainWindowTest() override { MainPanel = nullptr; }  // the application frees it

  QWidget* Window() const { return WidgetOf(*panel); }
  template <typename W>
  W* Widget(const TControl* c) const {
    return qobject_cast<W*>(WidgetOf(*c));
  }
  int S(int v) const {
    return static_cast<int>(std::lround(v * QGuiApplication::primaryScreen()->logicalDotsPerInch() / 120.0));
  }

  // What a message box showed, and the window at that moment.
  struct SeenBox {
    QString text, title;
    QMessageBox::Icon icon = QMessageBox::Information;
    QMessageBox::StandardButtons buttons;
    QString status;
    bool start_enabled = true;
  };
  // Answers every box with OK, noting what it showed.
  void AnswerBoxes(std::vector<SeenBox>& seen) {
    toolkit.on_box_shown = [this, &seen](QMessageBox& box) {
      seen.push_back({box.text(), box.windowTitle(), box.icon(), box.standardButtons(),
                      Widget<QLabel>(panel->StaticText1)->text(), Widget<QPushButton>(panel->Button1)->isEnabled()});
      box.button(QMessageBox::Ok)->click();
    };
  }

  QtToolkit toolkit{*qApp};
  TApplication app{toolkit};
  TMainPanel* panel = nullptr;
};

TEST_F(MainWindowTest, WindowAtStartHasItsTitleFixedSizeAndControls) {
  panel->Show();
  QWidget* w = Window();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->windowTitle(), "TZ_M -> ODU");
  const QSize client(S(215), S(92));
  EXPECT_EQ(w->size(), client);
  EXPECT_EQ(w->minimumSize(), client);
  EXPECT_EQ(w->maximumSize(), client);
  EXPECT_TRUE(w->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(w->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_FALSE(w->windowIcon().isNull());

  auto* label = Widget<QLabel>(panel->Label1);
  auto* start = Widget<QPushButton>(panel->Button1);
  auto* bar = Widget<QProgressBar>(panel->ProgressBar1);
  auto* status = Widget<QLabel>(panel->StaticText1);
  auto* source = Widget<QListWidget>(panel->ProgSrc);
  ASSERT_TRUE(label && start && bar && status && source);

  EXPECT_EQ(label->text(), "version 3.5");
  EXPECT_TRUE(label->font().bold());
  EXPECT_EQ(label->font().pixelSize(), S(25));
  EXPECT_EQ(start->text(), "&Start");
  EXPECT_EQ(start->shortcut(), QKeySequence(Qt::ALT | Qt::Key_S));
  EXPECT_TRUE(start->isEnabled());
  EXPECT_EQ(w->focusWidget(), start);
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_EQ(bar->value(), 0);
  EXPECT_EQ(status->text(), "");
  EXPECT_EQ(status->geometry(), QRect(0, S(78), S(215), S(92) - S(78)));
  EXPECT_TRUE(source->isHidden());
  EXPECT_EQ(static_cast<size_t>(source->count()), panel->ProgSrc->Items.size());
}

// The window as its description builds it, in the description's own units
// (pixels at 120 pixels per inch), whatever the toolkit makes of them.
TEST_F(MainWindowTest, TheDescriptionGivesTheDesignedWindowControlsAndTimers) {
  const TFont sans{"MS Sans Serif", 11, false, 1};
  const TFont serif_bold_ce{"MS Serif", 25, true, 238};
  EXPECT_EQ(panel->Caption(), "TZ_M -> ODU");
  EXPECT_EQ(panel->ClientWidth, 215);
  EXPECT_EQ(panel->ClientHeight, 92);
  EXPECT_EQ(panel->PixelsPerInch, 120);
  EXPECT_TRUE(panel->FixedSize);
  EXPECT_TRUE(panel->MinimizeBox);
  EXPECT_FALSE(panel->MaximizeBox);
  EXPECT_TRUE(panel->CenterOnScreen);
  EXPECT_EQ(panel->Font(), sans);
  EXPECT_EQ(panel->ActiveControl, panel->Button1);
  EXPECT_FALSE(panel->IconXpm.empty());

  struct Row {
    const TControl* control;
    const char* kind;
    const TControl* parent;
    int left, top, width, height;
    const char* caption;
    bool visible;
    TFont font;  // in effect
  };
  const Row rows[] = {
      {panel->Panel1, "TPanel", panel, 7, 7, 202, 39, "", true, sans},
      {panel->Label1, "TLabel", panel->Panel1, 7, 7, 189, 26, "version 3.5", true, serif_bold_ce},
      {panel->Button1, "TButton", panel, 7, 52, 60, 20, "&Start", true, sans},
      {panel->ProgressBar1, "TProgressBar", panel, 78, 52, 131, 20, "", true, sans},
      {panel->ProgSrc, "TListBox", panel, 185, 22, 14, 13, "", false, sans},
      {panel->StaticText1, "TStaticText", panel, 0, 78, 215, 14, "", true, sans},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.control->Name);
    EXPECT_EQ(r.control->Kind(), r.kind);
    EXPECT_EQ(r.control->Parent(), r.parent);
    EXPECT_EQ((std::vector<int>{r.control->Left(), r.control->Top(), r.control->Width(), r.control->Height()}),
              (std::vector<int>{r.left, r.top, r.width, r.height}));
    EXPECT_EQ(r.control->Caption(), r.caption);
    EXPECT_EQ(r.control->Visible(), r.visible);
    EXPECT_TRUE(r.control->Enabled());
    EXPECT_EQ(r.control->EffectiveFont(), r.font);
  }
  // Tab order.
  EXPECT_EQ(panel->Children(), (std::vector<TControl*>{panel->Panel1, panel->Button1, panel->ProgressBar1,
                                                        panel->ProgSrc, panel->StaticText1}));
  EXPECT_EQ(panel->Panel1->Children(), std::vector<TControl*>{panel->Label1});

  EXPECT_EQ(panel->Panel1->BevelOuter, TPanel::Bevel::Lowered);
  EXPECT_EQ(panel->Label1->Alignment, TAlignment::Center);
  EXPECT_FALSE(panel->Label1->AutoSize);
  EXPECT_EQ((std::vector<int>{panel->ProgressBar1->Min(), panel->ProgressBar1->Max(), panel->ProgressBar1->Position()}),
            (std::vector<int>{0, 100, 0}));
  EXPECT_TRUE(panel->ProgressBar1->Smooth);
  EXPECT_TRUE(panel->StaticText1->Sunken);
  EXPECT_FALSE(panel->StaticText1->AutoSize);

  EXPECT_EQ(panel->Delay->Interval(), 1000u);
  EXPECT_FALSE(panel->Delay->Enabled());
  EXPECT_EQ(panel->Paket->Interval(), 150u);
  EXPECT_FALSE(panel->Paket->Enabled());
}

TEST_F(MainWindowTest, StartWithNoPortShowsHardwareErrorAndEnablesStartAgain) {
  panel->Show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Window()));
  odu::testing::PaintCounter counter;
  QLabel* status = Widget<QLabel>(panel->StaticText1);
  status->installEventFilter(&counter);
  // The scan blocks the window's thread: by the time it asks for the ports
  // the status line must already be on screen.
  int paints_before_scan = -1;
  QString painted_text;
  panel->ListPorts = [&](std::vector<std::string>& list) {
    paints_before_scan = counter.paints;
    painted_text = status->text();
    list.clear();
  };
  std::vector<SeenBox> seen;
  AnswerBoxes(seen);

  Widget<QPushButton>(panel->Button1)->click();
  status->removeEventFilter(&counter);

  EXPECT_GE(paints_before_scan, 1);
  EXPECT_EQ(painted_text, "Initialize bootloader...");

  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].text, "Station ORVELA not found.");
  EXPECT_EQ(seen[0].title, "Hardware error.");
  EXPECT_EQ(seen[0].icon, QMessageBox::NoIcon);
  EXPECT_EQ(seen[0].buttons, QMessageBox::Ok);
  // While the box is up the run is still under way.
  EXPECT_EQ(seen[0].status, "Initialize bootloader...");
  EXPECT_FALSE(seen[0].start_enabled);

  EXPECT_TRUE(Widget<QPushButton>(panel->Button1)->isEnabled());
  EXPECT_EQ(Widget<QLabel>(panel->StaticText1)->text(), "");
  EXPECT_EQ(panel->Step, 0);
}

TEST_F(MainWindowTest, ClosingTheWindowEndsTheProgramLoop) {
  QTimer::singleShot(0, qApp, [this] { Window()->close(); });
  app.Run();  // returns once the window is closed
  EXPECT_FALSE(panel->Showing());
  EXPECT_FALSE(Window()->isVisible());
}

TEST_F(MainWindowTest, PictureOfTheWindowIsSavedWithTheBuild) {
  panel->Show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Window()));
  const QString path = ODU_WINDOW_PNG_PATH;
  ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
  QFile::remove(path);
  ASSERT_TRUE(Window()->grab().save(path, "PNG"));
  const QImage saved(path);
  EXPECT_EQ(saved.size(), Window()->size() * Window()->devicePixelRatio());
}

// The icon is drawn as XPM text in resources/; the program carries a copy.
TEST(ApplicationIcon, BuiltInTextIsTheResourceFile) {
  std::ifstream file(ODU_ICON_XPM_PATH, std::ios::binary);
  ASSERT_TRUE(file) << ODU_ICON_XPM_PATH;
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_EQ(std::string(kIconXpm), text.str());
}

TEST(ApplicationIcon, Is32By32InAtMost16Colours) {
  const std::string xpm = kIconXpm;
  // The header string: width, height, colours, characters per pixel.
  const size_t header = xpm.find("\"32 ");
  ASSERT_NE(header, std::string::npos);
  int width = 0, height = 0, colours = 0, cpp = 0;
  ASSERT_EQ(std::sscanf(xpm.c_str() + header + 1, "%d %d %d %d", &width, &height, &colours, &cpp), 4);
  EXPECT_EQ(width, 32);
  EXPECT_EQ(height, 32);
  EXPECT_LE(colours, 16);

  QImage image;
  ASSERT_TRUE(image.loadFromData(reinterpret_cast<const uchar*>(xpm.data()), static_cast<int>(xpm.size()), "XPM"));
  EXPECT_EQ(image.size(), QSize(32, 32));
  QSet<QRgb> used;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) used.insert(image.pixel(x, y));
  EXPECT_LE(used.size(), 16);
}

}  // namespace
}  // namespace odu
