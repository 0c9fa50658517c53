// Help › Contents: the page it looks for.
#pragma once

#include "widgets/help_opener.h"

namespace lookup {

// The program's help page: looked for in the data folder, then beside the program, then in the
// folder the documents are installed in.
inline constexpr char kHelpPageName[] = "orbisk-help.html";

using widgets::DesktopHelpOpener;
using widgets::HelpOpener;

}  // namespace lookup
