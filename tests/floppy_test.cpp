// The floppy and clean-up workers on temporary folders standing for the data folder and drive A:.
#include "updater/floppy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <tuple>

#include "tests/support/recording_link.h"
#include "tests/test_util.h"

namespace updater {
namespace {

namespace fs = std::filesystem;
using Files = std::vector<std::pair<std::string, std::string>>;
using testutil::write_bytes;

// Runs a hook on each log text (after recording it) and on each box (before answering it).
struct HookLink : testutil::RecordingLink {
  std::function<void(std::string_view)> on_log, on_box;
  void log_text(std::string_view text) override {
    RecordingLink::log_text(text);
    if (on_log) on_log(text);
  }
  Answer message_box(std::string_view text, std::string_view caption, Buttons b, Icon i) override {
    if (on_box) on_box(text);
    return RecordingLink::message_box(text, caption, b, i);
  }
};

Files files_in(const std::string& folder) {  // its regular files with their contents, in name order
  std::vector<std::string> names;
  platform::list_files(folder, "*", &names);
  Files files;
  for (const std::string& n : names) files.emplace_back(n, testutil::read_bytes(folder + "/" + n));
  return files;
}

class FloppyTest : public testing::Test {
 protected:
  void SetUp() override {
    env_.link = &link_;
    env_.state = &state_;
    env_.cancel = &cancel_;
    env_.folder = data_.path();
    env_.floppy_folder = floppy_.path();
  }
  std::string log_at_end(int message) {
    EXPECT_EQ(link_.events().back(), "finished:" + std::to_string(message) + " 0 0");
    EXPECT_EQ(link_.finished_messages().size(), 1u);
    return link_.log();
  }
  std::string a() const { return "A: (" + floppy_.path() + ")"; }
  std::string to_a(const char* name) const { return "Copying " + (name + (" to " + a())) + "\r\n"; }
  std::string from_a() const { return "Reading floppy disk " + a() + "...\r\n"; }
  static std::string from(std::string name) { return "Copying " + name + " from floppy\r\n"; }
  static std::string here(const std::string& name) { return name + " is already on hard disk\r\n"; }
  testutil::TempDir data_, floppy_;
  HookLink link_;
  UpdaterState state_;
  std::atomic<bool> cancel_{false};
  WorkerEnv env_;
};

// The rows in use, in row order; a failed copy asks until it succeeds or is given up.
TEST_F(FloppyTest, CopyToCopiesTheRowsInUseAskingAfterEachFailure) {
  write_bytes(data_.file("0112to0119.db"), "second week");
  write_bytes(floppy_.file("0112to0119.db"), "an older copy, longer than the new");
  for (const char* n : {"0112to0119.db", "0105to0112.db", "0126to0202.db", "0202to0209.db",
                        "0119to0126.db"}) {
    std::strcpy(state_.update_rows[state_.rows_in_use++].name, n);
  }
  // 0105to0112.db appears at the third box; the window closes at the fifth.
  link_.on_box = [&](std::string_view) {
    if (link_.boxes().size() == 2) write_bytes(data_.file("0105to0112.db"), "found it");
    cancel_ = link_.boxes().size() == 4;
  };
  using enum Answer;
  for (Answer a : {retry, retry, retry, cancel, retry}) link_.answer(a);
  EXPECT_EQ(copy_to_floppy(env_), 0);
  EXPECT_EQ(log_at_end(UM_FLOPPY_DONE), to_a("0112to0119.db") + to_a("0105to0112.db") +
                                            to_a("0126to0202.db") + to_a("0202to0209.db"));
  const auto boxes = link_.boxes();
  ASSERT_EQ(boxes.size(), 5u);
  EXPECT_EQ(boxes[3].caption + ":" + boxes[3].text,
            "ERROR copying file:A:\\0126to0202.db (" + floppy_.file("0126to0202.db") + ")");
  EXPECT_TRUE(boxes[4].buttons == Buttons::retry_cancel && boxes[4].icon == Icon::none);
  EXPECT_EQ(files_in(floppy_.path()),
            (Files{{"0105to0112.db", "found it"}, {"0112to0119.db", "second week"}}));
}

// Regular "*.db" files of 13 characters the data folder has not (nor gets by a download).
TEST_F(FloppyTest, CopyFromTakesNewDbFilesOfThirteenCharacters) {
  for (const char* n : {"0105TO0112.DB", "0105to0112.db", "abcdefghij.db", "0112to0119.db",
                        "call0105.db", "0105to0112x.db", "0105to0112.dbx", "0105to0112.txt",
                        "0105to0112.d", "0119to0126.db"}) {
    write_bytes(floppy_.file(n), n);
  }
  fs::create_directory(floppy_.file("0126to0202.db"));
  fs::create_symlink(floppy_.file("abcdefghij.db"), floppy_.file("0202to0209.db"));
  write_bytes(data_.file("0105to0112.db"), "mine");
  fs::create_directory(data_.file("0119to0126.db"));
  link_.on_log = [&](std::string_view text) {  // a download while the copy runs
    if (text == from("0112to0119.db")) write_bytes(data_.file("0112to0119.db"), "downloaded");
  };
  EXPECT_EQ(copy_from_floppy(env_), 0);
  EXPECT_EQ(log_at_end(UM_FLOPPY_DONE),
            from_a() + from("0105TO0112.DB") + here("0105to0112.db") + from("0112to0119.db") +
                here("0112to0119.db") + here("0119to0126.db") + from("abcdefghij.db") +
                "Copying complete\r\n");
  EXPECT_EQ(files_in(data_.path()),
            (Files{{"0105TO0112.DB", "0105TO0112.DB"}, {"0105to0112.db", "mine"},
                   {"0112to0119.db", "downloaded"}, {"abcdefghij.db", "abcdefghij.db"}}));
  EXPECT_TRUE(link_.boxes().empty());
}

// -1: the mode widens after the first name. Folders are never deleted.
TEST_F(FloppyTest, CleanupDeletesUpdateFilesAndSavedDatabasesAsTheModeSays) {
  const char* const names[] = {"0105to0112.db", "9999to0000.db", "call0105.db", "call9999.db"};
  const char* const kept[] = {
      "call.db", "call.db.new", "call0105.dbx", "0105to0112.db.bak", "0105TO0112.DB", "CALL0105.DB",
      "call010.db", "call01055.db", "0105to011a.db", "x0105to0112.db", "0105-to0112.db",
      "call0105.d", "0105to0112db", "callx105.db", "0105tO0112.db", "010ato0112.db"};
  const int both = kCleanUpdateFiles | kCleanSavedDatabases;
  for (int mode : {kCleanUpdateFiles, kCleanSavedDatabases, both, -1}) {
    SCOPED_TRACE(mode);
    link_.clear();
    for (const char* n : names) write_bytes(data_.file(n), n);
    for (const char* n : kept) write_bytes(data_.file(n), n);
    fs::create_directory(data_.file("call0001.db"));
    state_.cleanup_mode = mode < 0 ? kCleanUpdateFiles : mode;
    link_.on_log = [&](std::string_view) { state_.cleanup_mode = mode < 0 ? both : mode; };
    EXPECT_EQ(cleanup_old_files(env_), 0);
    std::string log;
    for (int i = 0; i < 4; ++i) {
      const bool gone = (mode & (i < 2 ? kCleanUpdateFiles : kCleanSavedDatabases)) != 0;
      EXPECT_EQ(fs::exists(data_.file(names[i])), !gone) << names[i];
      if (gone) log += names[i] + std::string(" deleted\r\n");
    }
    EXPECT_EQ(log_at_end(UM_CLEANUP_DONE), log);
    for (const char* n : kept) EXPECT_EQ(testutil::read_bytes(data_.file(n)), n);
  }
}

// Nothing to copy, or closed while 0105to0112.db is handled (in this order: no folder reset).
TEST_F(FloppyTest, HowEachWorkerEnds) {
  const struct { int (*worker)(WorkerEnv&); std::string log; } cases[] = {
      {copy_from_floppy, from_a() + from("0105to0112.db")},
      {copy_to_floppy, "Nothing copied\r\n"},
      {cleanup_old_files, "0105to0112.db deleted\r\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    link_.clear();
    const bool cancel = c.worker != copy_to_floppy;
    cancel_ = false;
    link_.on_log = [&](std::string_view s) { cancel_ = cancel && s.find("0105") != s.npos; };
    const auto& source = c.worker == copy_from_floppy ? floppy_ : data_;
    for (const char* n : {"0105to0112.db", "0112to0119.db"}) write_bytes(source.file(n), n);
    EXPECT_EQ(c.worker(env_), 0);
    EXPECT_EQ(log_at_end(c.worker == cleanup_old_files ? UM_CLEANUP_DONE : UM_FLOPPY_DONE), c.log);
    // Cancelled: 0112to0119.db is not copied, nor deleted.
    EXPECT_EQ(fs::exists(data_.file("0112to0119.db")), c.worker != copy_from_floppy);
  }
}

// Text from outside (names on the floppy, server answers) reaches the log with its control
// characters escaped, so it cannot forge a line or drive the terminal.
TEST(EscapeControls, LineEndsStayEveryOtherControlCharacterIsEscaped) {
  const std::tuple<std::string, bool, std::string> cases[] = {
      {"line\r\nnext\nlast", false, "line\r\nnext\nlast"},
      {"\x1b]0;title\x07\x1b[2J", false, "\\x1b]0;title\\x07\\x1b[2J"},
      {"forged\rUM_UPDATE_DONE 1 0\r\n", false, "forged\\x0dUM_UPDATE_DONE 1 0\r\n"},
      {"one\rtwo\r\n", true, "one\rtwo\r\n"},
      {std::string("\0\t\x7f\x80\xe9 A:\\", 9), false, "\\x00\\x09\\x7f\x80\xe9 A:\\"},
      {"ends\r", false, "ends\\x0d"}};
  for (const auto& [text, cr, shown] : cases) EXPECT_EQ(escape_controls(text, cr), shown) << shown;
}

}  // namespace
}  // namespace updater
