// The application icon: the text of odu_icon.xpm, copied here verbatim (the
// window tests check that the two stay equal).
#include "resources/odu_icon.h"

namespace odu {

const char* const kIconXpm = R"xpm(/* XPM */
static const char *odu_icon[] = {
/* columns rows colors chars-per-pixel */
"32 32 12 1 ",
"  c None",
". c #000000",
"w c #FFFFFF",
"g c #C0C0C0",
"G c #808080",
"d c #404040",
"n c #1F3F5F",
"b c #5F9FDF",
"D c #006000",
"a c #00B000",
"l c #80FF80",
"y c #FFD700",
/* pixels */
"                          D     ",
"                         DaD    ",
"                        DlaaD   ",
"                        DlaaD   ",
"                       DllaaaD  ",
"                      DlllaaaaD ",
"                      DlllaaaaD ",
"                     DllllaaaaaD",
"                     DDDDlaaDDDD",
"........................DlaaD   ",
".wwwwwwwwwwwwwwwwwwwwwwwDlaaD   ",
".wggggggdddddggggggggggGDlaaD   ",
".wggggdddnnndddgggGGGGgGDlaaD   ",
".wgggddbbnnnnnddggwwwwgGDlaaD   ",
".wggddbbbbGGGnbddgGGGGgGDlaaD   ",
".wggdnnGbbbnnGbbdgwwwwgGDlaaD   ",
".wgdnnGnnbbnnnbbbdGGGGgGDlaaD   ",
".wgdnnGnndgdnbbbndwwwwgGDlaaD   ",
".wgdnnnbdgggdbbnndGGGGgGDDDDD   ",
".wgdnnbbdgggdbnnndwwwwgG.       ",
".wgdnbbbndgdnnGnndGGGGgG.       ",
".wgdbbbnnnbbnnGnndwwwwgG.       ",
".wggdbbGnnbbbGnndgGGGGgG.       ",
".wggddbnGGGbbbbddgwwwwgG.       ",
".wgggddnnnnnbbddggGGGGgG.       ",
".wggggdddnnndddgggwwwwgG.       ",
".wggggggdddddgggggggyygG.       ",
".wGGGGGGGGGGGGGGGGGGGGGG.       ",
".........................       ",
"  ...              ...          ",
"  ddd              ddd          ",
"                                "
};
)xpm";

}  // namespace odu
