#include "platform/toolkit/window_toolkit.h"

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/toolkit/toolkit_qt.h"

namespace odu::platform {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

int no_display_status = 1;

// Qt ends the program with abort() when its platform plugin cannot start
// (no X server at $DISPLAY, say): say why instead, and end with the status.
void OnQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type != QtFatalMsg) {
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    return;
  }
  const std::string display = Env("WAYLAND_DISPLAY").empty() ? "DISPLAY=" + Env("DISPLAY") : "WAYLAND_DISPLAY=" + Env("WAYLAND_DISPLAY");
  std::fprintf(stderr, "odu-upgrade-gui: cannot open the window: the display cannot be reached (%s)\n  (%s)\n",
               display.c_str(), message.section('\n', 0, 0).toLocal8Bit().constData());
  std::fflush(stderr);
  std::_Exit(no_display_status);
}

}  // namespace

// A program on Linux has the streams it was started with.
void UseParentConsole() {}

std::string WindowToolkitUnavailable() {
  if (!Env("QT_QPA_PLATFORM").empty() || !Env("DISPLAY").empty() || !Env("WAYLAND_DISPLAY").empty()) return "";
  return "no display: neither DISPLAY nor WAYLAND_DISPLAY is set (start it in a desktop session, or use "
         "odu-upgrade, the command line)";
}

std::unique_ptr<Toolkit> CreateWindowToolkit(int& argc, char** argv, int no_display) {
  no_display_status = no_display;
  const QtMessageHandler previous = qInstallMessageHandler(OnQtMessage);
  auto toolkit = std::make_unique<QtToolkit>(argc, argv);
  qInstallMessageHandler(previous);
  return toolkit;
}

}  // namespace odu::platform
