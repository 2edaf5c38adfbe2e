// odu-upgrade-gui: the upgrade window on Qt.
#include "app/main_panel.h"
#include "platform/toolkit_qt.h"

int main(int argc, char** argv) {
  odu::platform::QtToolkit toolkit(argc, argv);

  // Reserved: a later "--simulate" option goes here, before the window is
  // created (it will put the window on a simulated station instead of the
  // machine's serial ports). Nothing reads the command line yet.

  odu::platform::TApplication app(toolkit);
  try {
    app.Initialize();
    app.Title = "TZ_M -> ODU";
    app.CreateForm(odu::MainPanel);
    app.Run();
  } catch (const odu::platform::ToolkitError& e) {
    // Only the toolkit's own kind; anything else ends the program as usual.
    app.ShowException(e);
  }
  return 0;
}
