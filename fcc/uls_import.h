// Building call.db and callprev.db from the FCC's public amateur licence data (ULS): the weekly
// full archive l_amat.zip, the daily transaction archives l_am_mon.zip ..., folders holding
// their EN.dat, HD.dat and AM.dat, or those files alone.
//
// The three record types used, '|'-separated, fields counted from 0 (the record type):
//   EN  1 unique system identifier, 4 call sign, 5 entity type, 7 entity name, 8 first name,
//       9 middle initial, 10 last name, 11 suffix, 15 street, 16 city, 17 state, 18 ZIP code,
//       19 PO box, 23 applicant type
//   HD  1 unique system identifier, 4 call sign, 5 licence status, 6 radio service,
//       7 grant date MM/DD/YYYY
//   AM  1 unique system identifier, 4 call sign, 15 previous call sign
// Sources are applied in the order given; a later record of a type replaces the earlier one of
// the same type and unique system identifier. EN records of another entity type than the
// licensee's ("L") are passed over.
//
// call.db gets one record per active licence (status A, radio service HA or HV) that has an EN
// record and a call sign the US key codec stores (HD's, else EN's). Text is upper-cased (ASCII
// and Latin-1 letters), control bytes become blanks, fields are trimmed:
//   name    "LAST, FIRST MI SUFFIX" for individuals (absent parts left out with their blank; a
//           suffix without a letter or digit, such as ".", counts as absent), else the entity
//           name
//   street  the street; when it is empty, the PO box number with po_box set ("PO BOX 123")
//   state   the code's index in dbfiles::StateCodes, 0 when unknown
//   zip     the first five characters of the ZIP code when they are digits, else 0
// Texts that do not fit are cut: the street to 63 bytes, the name to 255, and a record past 255
// bytes loses the end of its name down to 127 bytes (what a lookup shows), then of its street,
// its city and last its name again. Two active licences with one call sign: the later grant
// stays, on equal grants the one read later.
//
// callprev.db maps each written licence's AM previous call sign to its current call sign. When
// one old call sign names several licences, the latest grant wins (on equal grants the one read
// later). Left out: empty and unstorable old call signs, an old call sign equal to the current
// one, and an old call sign that is itself a current call sign in call.db (a lookup finds that
// licence first, so the entry could never be used).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fcc/fcc_state.h"

namespace calldb {

struct ImportOptions {
  std::string folder;                // where call.db and callprev.db go ("" for the current one)
  std::string date;                  // YYYYMMDD, a calendar date
  std::vector<std::string> sources;  // archives, folders and .dat files, applied in order
  std::string zlib_library;          // zlib's shared library, loaded when a member is deflated
  // Called as records are read: the source and the records read from it so far.
  std::function<void(const std::string& source, std::uint64_t records)> progress;
  // Receives each note about input left out: "SOURCE MEMBER line N: REASON" (a lone .dat file
  // has no MEMBER). At most notes_per_file for each file, then one line with the count of the
  // rest.
  std::function<void(const std::string& note)> note;
  int notes_per_file = 20;
  const std::atomic<bool>* cancel = nullptr;  // set to stop; nothing is replaced then
  // The bytes that texts replaced by later records may leave unused before the texts still
  // needed are copied anew, which keeps memory in proportion to the licences, not to the lines
  // (tests and fuzzing set less, to copy often).
  std::size_t text_slack = std::size_t{4} << 20;
  // For tests: called before each rename of the files put in place together (see
  // fcc/fcc_state.h).
  std::function<void()> between_replaces;
  // Go on from the import that wrote the folder's callfcc.dat: its licences, as that import
  // held them, stand for the archives it read, and the sources are read as the archives that
  // came after those. The result (call.db, callprev.db, callfcc.dat) is byte for byte what one
  // import of all the archives makes. Refused, with ImportReport::needs_weekly set and nothing
  // replaced, when callfcc.dat is missing, damaged or out of step with call.db and
  // callprev.db, or when a licence active at the end is not in it and the sources lack its EN
  // or its AM record (what the older archives held of it is not known).
  bool from_state = false;
  // Write callfcc.dat for the result with this archive as the newest applied. When its day is
  // empty, an existing callfcc.dat is removed instead, before anything is replaced.
  ArchiveDate state_archive;
  // Count the calls new, deleted and changed against the call.db replaced.
  bool count_changes = false;
  // Keep the call.db being replaced as callMMDD.db (MMDD of its own date), as an update run
  // does: it gets that second name before anything is replaced; an older callMMDD.db goes.
  bool keep_previous = false;
};

struct ImportReport {
  std::uint64_t records_read = 0;  // lines read as records, of every source
  std::uint64_t licences = 0;      // records written to call.db
  std::uint64_t previous = 0;      // entries written to callprev.db
  std::uint64_t cut = 0;           // records cut to fit their fields
  // Lines left out: malformed lines, and the HD lines of active licences that could not be
  // written (no storable call sign, no EN record, or another licence kept for the call sign).
  std::uint64_t skipped = 0;
  std::uint64_t duplicates = 0;  // active licences dropped for another one with the call sign
  std::string kept;  // with keep_previous: the name the replaced call.db is kept under, or ""
  bool needs_weekly = false;  // with from_state: refused (see there)
  // With count_changes: calls in the new call.db only, in the old one only, in both with
  // another record.
  std::uint64_t new_calls = 0;
  std::uint64_t deleted_calls = 0;
  std::uint64_t changed_calls = 0;
};

// Imports `options.sources` and writes folder/call.db and folder/callprev.db (and callfcc.dat
// when asked), put in place together (see fcc/fcc_state.h): after a kill at any instant the
// next writer finds the old files or the new ones. Each run first finishes or removes what a
// killed one left in the folder: the set's renames, temporary files of ended processes, and
// the names only earlier versions wrote (callprev.db.new; never call.db.new, the merge's
// output). Returns 0 when both were
// written; otherwise -1 with *error set, and neither file was replaced: a source could not be
// read, no active licence came out of the sources, or a write failed. Paths and member names
// in notes, progress and errors are shown with their control characters escaped.
int import_uls(const ImportOptions& options, ImportReport* report, std::string* error);

// True when `date` is YYYYMMDD naming a real calendar day.
bool is_calendar_date(const std::string& date);

// Helpers of the conversion, exposed for tests.
namespace uls {

// Upper-cases ASCII and Latin-1 letters, turns control bytes into blanks, trims blanks.
std::string clean_text(std::string_view text);
// True when `call` (upper case) is stored exactly by the US key codec.
bool is_storable_call(const std::string& call);
// The state's index in dbfiles::StateCodes, letters of either case; 0 when unknown.
std::uint32_t state_index(std::string_view code);
// The first five digits of a ZIP code as a number; 0 when they are not five digits.
std::uint32_t zip_number(std::string_view zip);

}  // namespace uls

}  // namespace calldb
