// The floppy and clean-up workers on temporary folders standing for the data folder and drive A:.
#include "updater/floppy.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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
  FloppyTest() { env_.link = &link_, env_.state = &state_, env_.cancel = &cancel_; }
  void SetUp() override { env_.folder = data_.path(), env_.floppy_folder = floppy_.path(); }
  void add_rows(std::initializer_list<const char*> names) {
    for (const char* n : names) std::strcpy(state_.update_rows[state_.rows_in_use++].name, n);
  }
  // The log, once the worker's last act was its one finished message.
  std::string log_at_end(int message) {
    EXPECT_EQ(link_.events().back() + ", once: " + std::to_string(link_.finished_messages().size() == 1),
              "finished:" + std::to_string(message) + " 0 0, once: 1");
    return link_.log();
  }
  std::string a() const { return "A: (" + floppy_.path() + ")"; }
  std::string from_a() const { return "Reading floppy disk " + a() + "...\r\n"; }
  testutil::TempDir data_, floppy_;
  HookLink link_;
  UpdaterState state_;
  std::atomic<bool> cancel_{false};
  WorkerEnv env_;
};

// The rows in use, in row order, replacing what the floppy has; a failed copy asks Retry or
// Cancel until it succeeds or is given up (at once when the window closes), and logs nothing.
TEST_F(FloppyTest, CopyToCopiesTheRowsInUseAskingAfterEachFailure) {
  write_bytes(data_.file("0112to0119.db"), "second week");
  write_bytes(data_.file("0119to0126.db"), "not in use");
  write_bytes(floppy_.file("0112to0119.db"), "an older copy, longer than the new");
  add_rows({"0112to0119.db", "0105to0112.db", "0126to0202.db", "0202to0209.db", "0119to0126.db", "0209to0216.db"});
  state_.rows_in_use = 5;
  link_.on_box = [&](std::string_view) {  // 0105to0112.db appears at the third box; the window closes at the fifth
    if (link_.boxes().size() == 2) write_bytes(data_.file("0105to0112.db"), "found it");
    cancel_ = link_.boxes().size() == 4;
  };
  for (Answer a : {Answer::retry, Answer::retry, Answer::retry, Answer::cancel, Answer::retry}) link_.answer(a);
  EXPECT_EQ(copy_to_floppy(env_), 0);
  EXPECT_EQ(log_at_end(UM_FLOPPY_DONE), "Copying 0112to0119.db to " + a() + "\r\nCopying 0105to0112.db to " + a() +
                                            "\r\nCopying 0126to0202.db to " + a() + "\r\nCopying 0202to0209.db to " + a() + "\r\n");
  const auto boxes = link_.boxes();
  ASSERT_EQ(boxes.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    const std::string name = i < 3 ? "0105to0112.db" : i == 3 ? "0126to0202.db" : "0202to0209.db";
    EXPECT_EQ(boxes[i].caption + ":" + boxes[i].text, "ERROR copying file:A:\\" + name + " (" + floppy_.file(name) + ")");
    EXPECT_TRUE(boxes[i].buttons == Buttons::retry_cancel && boxes[i].icon == Icon::none);
  }
  EXPECT_EQ(files_in(floppy_.path()), (Files{{"0105to0112.db", "found it"}, {"0112to0119.db", "second week"}}));
}

// Every regular "*.db" file of 13 characters, in name order, unless the data folder has the
// name, or gets it from a download while its copy runs; temporaries of a killed copy go first.
TEST_F(FloppyTest, CopyFromTakesNewDbFilesOfThirteenCharacters) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  const std::string left = "0105to0112.db.new-" + std::to_string(child) + "-0";
  for (const std::string& folder : {data_.path(), floppy_.path()}) write_bytes(folder + "/" + left, "killed");
  for (const char* n : {"0105TO0112.DB", "0105to0112.db", "abcdefghij.db", "0112to0119.db", "call0105.db",
                        "0105to0112x.db", "0105to0112.dbx", "0105to0112.txt", "0105to0112.d", "0119to0126.db"}) {
    write_bytes(floppy_.file(n), n);
  }
  fs::create_directory(floppy_.file("0126to0202.db"));
  fs::create_symlink(floppy_.file("abcdefghij.db"), floppy_.file("0202to0209.db"));
  write_bytes(data_.file("0105to0112.db"), "mine");
  fs::create_directory(data_.file("0119to0126.db"));
  link_.on_log = [&](std::string_view text) {
    if (text != "Copying 0112to0119.db from floppy\r\n") return;
    platform::NewFile download;
    ASSERT_EQ(download.create(data_.file("0112to0119.db")), 0);
    ASSERT_TRUE(download.file().write("downloaded", 10).ok());
    ASSERT_EQ(download.commit(), 0);
  };
  EXPECT_EQ(copy_from_floppy(env_), 0);
  EXPECT_EQ(log_at_end(UM_FLOPPY_DONE),
            from_a() + "Copying 0105TO0112.DB from floppy\r\n0105to0112.db is already on hard disk\r\n"
                       "Copying 0112to0119.db from floppy\r\n0112to0119.db is already on hard disk\r\n"
                       "0119to0126.db is already on hard disk\r\nCopying abcdefghij.db from floppy\r\nCopying complete\r\n");
  EXPECT_EQ(files_in(data_.path()), (Files{{"0105TO0112.DB", "0105TO0112.DB"}, {"0105to0112.db", "mine"},
                                           {"0112to0119.db", "downloaded"}, {"abcdefghij.db", "abcdefghij.db"}}));
  EXPECT_FALSE(fs::exists(floppy_.file(left)));
  EXPECT_TRUE(link_.boxes().empty());
}

TEST_F(FloppyTest, CleanupDeletesUpdateFilesAndSavedDatabasesAsTheModeSays) {
  const char* const names[] = {"0105to0112.db", "9999to0000.db", "call0105.db", "call9999.db"};
  const char* const kept[] = {"call.db", "call.db.new", "call0105.dbx", "0105to0112.db.bak", "0105TO0112.DB", "CALL0105.DB",
                              "call010.db", "call01055.db", "0105to011a.db", "x0105to0112.db", "0105-to0112.db",
                              "call0105.d", "0105to0112db", "callx105.db", "0105tO0112.db", "010ato0112.db"};
  const int both = kCleanUpdateFiles | kCleanSavedDatabases;
  // -1: widened after the first name. With both, 9999to0000.db becomes a folder, which unlink refuses.
  for (int mode : {kCleanUpdateFiles, kCleanSavedDatabases, both, -1}) {
    SCOPED_TRACE(mode);
    link_.clear(), fs::remove_all(data_.path()), fs::create_directory(data_.path());
    for (const char* n : names) write_bytes(data_.file(n), n);
    for (const char* n : kept) write_bytes(data_.file(n), n);
    fs::create_directory(data_.file("call0001.db"));  // a folder is never a saved database
    state_.cleanup_mode = mode < 0 ? kCleanUpdateFiles : mode;
    link_.on_log = [&](std::string_view text) {
      state_.cleanup_mode = mode < 0 ? both : mode;
      if (mode == both && text == "0105to0112.db deleted\r\n") fs::remove(data_.file(names[1])), fs::create_directory(data_.file(names[1]));
    };
    EXPECT_EQ(cleanup_old_files(env_), 0);
    std::string log;
    for (int i = 0; i < 4; ++i) {
      const bool gone = (mode & (i < 2 ? kCleanUpdateFiles : kCleanSavedDatabases)) != 0, refused = mode == both && i == 1;
      EXPECT_EQ(fs::exists(data_.file(names[i])), !gone || refused) << names[i];
      if (gone) log += names[i] + (refused ? " NOT deleted, error " + std::to_string(EISDIR) + "\r\n" : std::string(" deleted\r\n"));
    }
    EXPECT_EQ(log_at_end(UM_CLEANUP_DONE), log);
    for (const char* n : kept) EXPECT_EQ(testutil::read_bytes(data_.file(n)), n);
  }
}

// How each worker ends: "Nothing copied" when nothing was; a floppy folder that is not there is
// one box; closing the window while a worker handles 0105to0112.db stops it after that file.
TEST_F(FloppyTest, HowEachWorkerEnds) {
  const std::string missing = floppy_.file("no-disk"), gone = "Nothing copied: A: (" + missing + ") not found\r\n";
  const std::string no_disk = "ERROR copying file:A: (" + missing + ") not found\rIs the floppy disk in the drive?";
  enum { kData = 1, kFloppy = 2 };  // where the two files are
  const struct { int (*worker)(WorkerEnv&); int rows, files; bool floppy_there, cancel; std::string log, box; } cases[] = {
      {copy_to_floppy, 0, kData, true, false, "Nothing copied\r\n", ""},
      {copy_to_floppy, 2, kData, false, false, gone, no_disk},
      {copy_from_floppy, 0, kData | kFloppy, true, false, from_a() + "0105to0112.db is already on hard disk\r\n0112to0119.db is already on hard disk\r\nNothing copied\r\n", ""},
      {copy_from_floppy, 0, kFloppy, false, false, "Reading floppy disk A: (" + missing + ")...\r\n" + gone, no_disk},
      {copy_to_floppy, 2, kData, true, true, "Copying 0105to0112.db to " + a() + "\r\n", ""},
      {copy_from_floppy, 0, kFloppy, true, true, from_a() + "Copying 0105to0112.db from floppy\r\n", ""},
      {cleanup_old_files, 0, kData, true, true, "0105to0112.db deleted\r\n", ""}};
  add_rows({"0105to0112.db", "0112to0119.db"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    link_.clear(), cancel_ = false, state_.rows_in_use = c.rows;
    env_.floppy_folder = c.floppy_there ? floppy_.path() : missing;
    link_.on_log = [&](std::string_view text) { cancel_ = c.cancel && text.find("0105to0112.db") != text.npos; };
    for (const std::string& f : {data_.path(), floppy_.path()}) fs::remove_all(f), fs::create_directory(f);
    for (const char* n : {"0105to0112.db", "0112to0119.db"}) {
      for (const auto& [bit, dir] : {std::pair{kData, &data_}, {kFloppy, &floppy_}}) if (c.files & bit) write_bytes(dir->file(n), n);
    }
    EXPECT_EQ(c.worker(env_), 0);
    EXPECT_EQ(log_at_end(c.worker == cleanup_old_files ? UM_CLEANUP_DONE : UM_FLOPPY_DONE), c.log);
    const auto boxes = link_.boxes();
    EXPECT_EQ(boxes.empty() ? "" : boxes[0].caption + ":" + boxes[0].text + (boxes.size() == 1 ? "" : " and more"), c.box);
    EXPECT_TRUE(!c.cancel || fs::exists((c.worker == copy_to_floppy ? floppy_ : data_).file("0112to0119.db")) ==
                                 (c.worker == cleanup_old_files));
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
      {"ends\r", false, "ends\\x0d"},
  };
  for (const auto& [text, lone_cr_breaks, shown] : cases) {
    EXPECT_EQ(escape_controls(text, lone_cr_breaks), shown) << shown;
  }
}

}  // namespace
}  // namespace updater
