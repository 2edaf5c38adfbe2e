// Builds a form's controls and timers from its text description:
//
//   object MainPanel: TMainPanel
//     Caption = 'TZ_M -> ODU'
//     object Button1: TButton
//       Left = 7
//       OnClick = Button1Click
//     end
//   end
//
// Values are numbers, 'quoted text' ('' is a quote), identifiers and sets
// [a, b]. Controls nested in a control are its children; every component is
// owned by the form. Events are bound through TForm::BindEvent. A
// description the loader does not understand raises ToolkitError naming the
// line.
#pragma once

#include <string_view>

#include "platform/toolkit/controls.h"

namespace odu::platform {

void LoadForm(TForm& form, std::string_view description);

}  // namespace odu::platform
