// The lookup program's files and its Search command, without any window: start-up opens the
// three database files, and each search produces the text that goes in front of the output.
#pragma once

#include <string>

#include "dbfiles/callkey.h"
#include "dbfiles/candb.h"
#include "dbfiles/usdb.h"

namespace dbfiles {

// The full edition reads cancall.db and callprev.db; the US-only edition neither: every text,
// one beginning with "V" included, is looked up in call.db, and a miss is just NOT FOUND.
enum class Edition { full, us_only };

inline constexpr char kCallDbName[] = "call.db";
inline constexpr char kCanCallDbName[] = "cancall.db";
inline constexpr char kCallPrevDbName[] = "callprev.db";

struct LookupFiles {
  Edition edition = Edition::full;
  CanadianTable canada;
  UsDatabase us;
  bool us_ready = false;     // call.db was opened and its header read
  int us_error = 0;          // the system error code when it was not
  PrevDatabase prev;
  bool prev_ready = false;   // callprev.db was opened and its date read
};

// Start-up, in order: the Canadian index (full edition), call.db, then callprev.db (full
// edition, only once call.db was read). File names are taken in `folder` ("" for the current
// folder). Never fails: what is missing is marked missing.
void open_lookup_files(const std::string& folder, Edition edition, LookupFiles* files);

// Closes call.db and callprev.db.
void close_lookup_files(LookupFiles* files);

// Finds one typed callsign: a text beginning with "V" in the Canadian table only (full
// edition); any other text in call.db only. Without a usable call.db, or for a text whose first
// character no US callsign has, nothing is read and the callsign is not found.
// *why (if given) receives what was wrong when the lookup comes back damaged.
LookupStatus lookup_call(const LookupFiles& files, const char* text, LookupResult* result,
                         const char** why = nullptr);

// One run of the Search command.
struct SearchOutput {
  bool found = false;
  // The block of a found record ("%s\r\n%s\r\n%s\r\n%s\r\n\r\n"), or the miss line:
  // "CALL NOW NEWCALL\r\n\r\n" or "CALL NOT FOUND\r\n\r\n".
  std::string text;
  // The names of the files that turned out damaged in this search, separated by spaces.
  std::string damaged;
  // What was wrong with the first of them (kShortRead or kTextOutsideArea), or "".
  std::string why;
};

// Looks `typed` up (the callsign box's text, already upper case), and on a miss asks
// callprev.db when it is open. A found record is left in *slot.
SearchOutput search_callsign(const LookupFiles& files, const char* typed, LookupResult* slot);

}  // namespace dbfiles
