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
  const char* us_why = nullptr;  // or, without one, what was wrong with its header or index
  PrevDatabase prev;
  bool prev_ready = false;   // callprev.db was opened and its date read
};

// Start-up, in order: the Canadian index (full edition), call.db, then callprev.db (full
// edition, only once call.db was read). File names are taken in `folder` ("" for the current
// folder). Never fails: what is missing is marked missing.
void open_lookup_files(const std::string& folder, Edition edition, LookupFiles* files);

// The second half of start-up on its own: call.db, then callprev.db (full edition), when
// call.db is not open yet. After a start-up that could not use call.db (missing, or held by an
// update run), the lookup window tries again at each Search, so that a database put in place
// later is found without a restart.
void open_us_files(const std::string& folder, LookupFiles* files);

// Closes call.db and callprev.db and lets their indexes go.
void close_lookup_files(LookupFiles* files);

// Said when call.db is held by an update run (an open refused with the sharing violation).
inline constexpr char kBeingUpdated[] =
    "The database is being updated. Try again when the update has finished.";

// Why call.db in `folder` (the data folder written out in full) could not be used, as the line
// that follows "call.db" in the "ERROR Reading Database" message: "Not found in FOLDER.",
// "Damaged in FOLDER: WHY.", kBeingUpdated, or "Cannot be read in FOLDER (error N).".
std::string call_db_trouble(const LookupFiles& files, const std::string& folder);

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
