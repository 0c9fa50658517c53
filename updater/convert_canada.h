// Converting the Canadian licence list amateur.txt into cancall.db.
//
// amateur.txt: lines ending in CR, LF or CR LF. The first ten characters of the first line are
// the list's date (YYYY?MM?DD); the rest of that line and the next non-blank line are headings;
// a line of one space is ignored anywhere; a line "EOF" ends the list. Then one licence per
// line, in fixed columns (positions from 0, trailing spaces dropped, positions past the end of
// the line read as spaces):
//   individual (up to 210 characters): callsign 0-5, given names 7-41, surname 43-77,
//     street 79-148, city 150-184, province 186-187, postal code 189-198
//   club (longer than 210): callsign 0-5, club name 210-279, second club-name line 281-350,
//     street 352-421, city 423-457, province 459-460, postal code 462-468
#pragma once

#include "updater/updater_state.h"

namespace updater {

inline constexpr char kListName[] = "amateur.txt";
inline constexpr char kCanadaDbName[] = "cancall.db";
// The conversion writes here and renames the file over cancall.db only once it is whole.
inline constexpr char kCanadaDbTempName[] = "cancall.db.new";

// Converts amateur.txt in the data folder into cancall.db. Returns 0 when cancall.db was
// written; -1 when the list cannot be opened or read; another negative value when cancall.db
// could not be written (the old cancall.db is then untouched). Reports in the log and shows the
// list's date in the first row's name cell.
int convert_canadian_list(WorkerEnv& env);

}  // namespace updater
