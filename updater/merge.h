// Merging a weekly update file into call.db.
//
// An update file has the layout of call.db (date, index offset, texts, sorted index). Each of
// its entries, compared with call.db's index:
//   key not in call.db                 inserted with its text (a new call)
//   key in call.db, text_ref not zero  replaces the old entry, all three words, and its text
//   key in call.db, text_ref zero      deletes the old entry and its text
// An update file is checked whole before anything of it is merged (check_update_file); one that
// fails a check is deleted, so that the next run fetches it again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "updater/updater_state.h"

namespace updater {

inline constexpr std::size_t kMaxUpdateEntries = 16384;
inline constexpr std::size_t kUpdateIndexBytes = kMaxUpdateEntries * 12;
inline constexpr std::size_t kTextReadSize = 256;  // a record text with its terminator

inline constexpr char kNewDbName[] = "call.db.new";
// Logged after the box when another program holds call.db (the lookup window reads it with
// others allowed to read only), so that the log tells what to do.
inline constexpr char kHeldByLookup[] =
    "call.db is open in another program, the lookup window most likely: close it, then press "
    "\"Repeat update\" (or run calldb update again)\r\n";

// An update file that passed the check.
struct UpdateFile {
  char date[8] = {};
  std::uint64_t size = 0;
  std::uint32_t index_offset = 0;
  std::vector<unsigned char> index;  // the whole index, 12 bytes an entry
};

enum class UpdateCheck {
  sound,       // *update is filled
  corrupt,     // *reason says which check failed
  unreadable,  // a read failed; *error is the system's code
};

// Checks the update file `file` whole, reading its header, its index and every text its entries
// point at:
//   - at least the 12-byte header;
//   - its date a valid date, equal to `due_date` (YYYYMMDD, the end of the week it stands for);
//   - its index offset at least 12 and at most the file's size;
//   - the index a whole number of 12-byte entries, at most 16,384 of them;
//   - the keys strictly ascending (unsigned);
//   - every entry whose text_ref is not zero points into the text area [12, index offset) at a
//     text whose terminating zero lies there too, within 256 bytes.
UpdateCheck check_update_file(const platform::File& file, const char* due_date,
                              UpdateFile* update, std::string* reason, int* error);

// An update server may keep beside each update file NAME a digest file NAME.sha256, one line as
// sha256sum writes it: the 64 hexadecimal digits of the file's SHA-256, two blanks (or a blank
// and '*') and NAME. The update file format carries no count or checksum of its own, so a file
// cut short exactly after a whole index entry passes check_update_file; its digest tells.
inline constexpr char kDigestSuffix[] = ".sha256";

// The SHA-256 of the file at `path` as 64 lowercase hexadecimal digits. Returns 0, or the
// system's error code.
int file_sha256(const std::string& path, std::string* hex);

// The digest file's line for the update file `name` whose SHA-256 is `hex`: "HEX  NAME\n".
std::string digest_line(const std::string& hex, const std::string& name);

enum class DigestCheck {
  matches,
  differs,       // the file is not the one the digest describes
  not_a_digest,  // the text does not begin with 64 hexadecimal digits and a blank or line end
  unreadable,    // the file cannot be read; *error is the system's code
};

// Checks the update file at `path` against `digest_text`, its digest file's contents: the first
// 64 characters, hexadecimal digits in either case, must be the file's SHA-256. The name after
// them is not compared.
DigestCheck check_update_digest(const std::string& path, std::string_view digest_text,
                                int* error);

// Checks the update file of row `row`, just fetched from the update server, against the digest
// file the server keeps beside it. A server without one (any reply but 200) leaves the file as
// it is, as does a digest file that holds no digest (told in the log). A file whose digest
// differs is deleted and told like a file that fails check_update_file; one whose digest file
// could not be fetched (the connection failed, the reply was cut short) is deleted too, so that
// no file the server has a digest for stays unchecked. A deleted file is fetched again by the
// next run. Returns 0 when the file stays, -1 when it was deleted.
int check_fetched_update(WorkerEnv& env, int row);

// Merges the update file named by row `row` into call.db, writing call.db.new (call.db itself is
// never changed) through a temporary file of its own, put in place whole. `due_date` (YYYYMMDD)
// is the date the update file must carry; nullptr stands for seven days after call.db's date.
// Returns 0 when call.db.new is complete and on disk, -1 after telling the user why; on -1 no
// call.db.new of this merge is left behind, and an update file that failed the check is
// deleted. Shows its progress in the value and count cells and in the row. Holds the data
// folder's writer lock while it works (see folder_job.h). `merged_from`, when given, receives
// which file call.db was when the merge read it, so that the run can tell whether it is still
// the same file when it puts call.db.new in its place.
int merge_update(WorkerEnv& env, int row, const char* due_date = nullptr,
                 platform::FileId* merged_from = nullptr);

}  // namespace updater
