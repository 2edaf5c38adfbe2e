// The application icon (odu_icon.xpm), built into the program.
#pragma once

namespace odu {
extern const char* const kIconXpm;
}
