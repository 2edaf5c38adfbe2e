// The upgrade window's description (main_panel.form), built into the program.
#pragma once

namespace odu {
extern const char* const kMainPanelForm;
}
