// Control ids and command numbers of the lookup program's windows. A control carries its id in
// the "controlId" property, so that it can be found by number as in the tables below.
#pragma once

class QObject;
class QWidget;

namespace lookup {

// The main window's controls. Ids 1 to 4 double as command numbers: Enter on one of them runs
// command max(id, 2).
inline constexpr int kIdCallsign = 1;
inline constexpr int kIdSearch = 2;
inline constexpr int kIdExtendedSearch = 3;
inline constexpr int kIdExit = 4;
inline constexpr int kIdOutput = 5;

// The main window's commands besides the buttons: the Help menu.
inline constexpr int kCmdSearch = kIdSearch;
inline constexpr int kCmdExtendedSearch = kIdExtendedSearch;
inline constexpr int kCmdExit = kIdExit;
inline constexpr int kCmdHelpContents = 113;
inline constexpr int kCmdHelpAbout = 114;

// The Extended Search dialog and its controls.
inline constexpr int kDialogExtendedSearch = 105;
inline constexpr int kIdSearchButton = 1;  // the default button
inline constexpr int kIdCloseButton = 2;
inline constexpr int kIdName = 107;
inline constexpr int kIdCity = 108;
inline constexpr int kIdState = 109;
inline constexpr int kIdZip = 110;
inline constexpr int kIdResults = 111;
inline constexpr int kIdStatus = 112;

// The About box's OK button.
inline constexpr int kIdAboutOk = 1;

inline constexpr char kControlIdProperty[] = "controlId";

void set_control_id(QObject* control, int id);
// The control's id, or 0 when it has none.
int control_id(const QObject* control);

}  // namespace lookup
