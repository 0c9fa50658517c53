// The US update run: from call.db's date, the weekly update files published since, fetched,
// merged in date order and put in place, the superseded database kept under a dated name.
#pragma once

#include <cstdint>
#include <string>

#include "updater/updater_state.h"

namespace updater {

// A calendar date; days_since_epoch() turns it into a day count for arithmetic.
struct Date {
  int year = 0;
  int month = 0;
  int day = 0;
};

// True for a date of the Gregorian calendar between the years 1601 and 9999.
bool valid_date(const Date& d);
// Reads eight digits YYYYMMDD; false unless they are digits and make a valid date.
bool parse_date(const char* text, Date* d);
// Days since 1970-01-01 and back.
std::int64_t days_since_epoch(const Date& d);
Date date_from_days(std::int64_t days);

// Gives folder/call.db the second name folder/`saved` as well (a hard link, or a whole copy
// where links fail), replacing any older file of that name in one step, while call.db keeps
// its own. Returns 0 or the system's error code.
int keep_old_database(const std::string& folder, const std::string& saved);

// The run of the US update worker. Every merged database is put in place so that call.db is at
// every instant either the old database or the new one: the old one gets its second name
// callMMDD.db first (a hard link, or a copy where links fail), then call.db.new is renamed over
// call.db in one step. Ends with exactly one UM_UPDATE_DONE: wParam the number of
// rows scheduled, lParam -1 when call.db could not be read or nothing is due, otherwise the
// error count (0 when everything was fetched, merged and put in place).
void doupdate(WorkerEnv& env);

}  // namespace updater
