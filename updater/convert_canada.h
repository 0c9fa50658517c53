// Converting the Canadian licence list amateur.txt into cancall.db.
//
// amateur.txt: lines ending in CR, LF or CR LF. The first ten characters of the first line are
// the list's date, YYYY-MM-DD ('/' may part it too) of a day in the years 2000 to 2999 (after
// the byte order mark of UTF-8, if any); the rest of that line and the next non-blank line are
// headings; a line of one space is ignored anywhere; a line "EOF" ends the list, and a list
// without it is taken to be cut short. Then one licence per line, in fixed columns (positions
// from 0, trailing spaces dropped, positions past the end of the line read as spaces):
//   individual (up to 210 characters): callsign 0-5, given names 7-41, surname 43-77,
//     street 79-148, city 150-184, province 186-187, postal code 189-198
//   club (longer than 210): callsign 0-5, club name 210-279, second club-name line 281-350,
//     street 352-421, city 423-457, province 459-460, postal code 462-468
// The list is UTF-8 when all of it is valid UTF-8, else Latin-1 (0x80-0x9F as the Windows code
// page has them); columns count characters. cancall.db holds its texts in Latin-1, one byte a
// character as call.db does: a character outside Latin-1 becomes a plain stand-in (dashes '-',
// quotes ' and ", accented letters of Latin Extended-A without their marks) or else '?'.
#pragma once

#include "updater/updater_state.h"

namespace updater {

inline constexpr char kListName[] = "amateur.txt";
inline constexpr char kCanadaDbName[] = "cancall.db";

// Converts amateur.txt in the data folder into cancall.db. Returns 0 when cancall.db was
// written; -1 when the list cannot be opened or read; another negative value when cancall.db
// was not written: it could not be, or the list does not begin with its date, ends without its
// "EOF" line or holds no licence. cancall.db is written under a temporary name of its own and
// put in place whole, so the old one stays untouched unless 0 is returned. Control bytes inside
// a licence line read as blanks. Reports in the log and shows the list's date in the first
// row's name cell.
int convert_canadian_list(WorkerEnv& env);

}  // namespace updater
