// The floppy workers and the clean-up worker on temporary folders standing for the data folder
// and drive A:, with a recording link that can act on the disk while a worker waits on it.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "tests/support/recording_link.h"
#include "tests/test_util.h"
#include "updater/floppy.h"
#include "updater/updater_state.h"

namespace {

namespace fs = std::filesystem;
using updater::Answer;
using updater::Buttons;
using updater::Icon;

// A RecordingLink that also runs a hook on each log text (after recording it) and on each
// message box (before answering it), while the worker waits.
class HookLink : public testutil::RecordingLink {
 public:
  std::function<void(std::string_view)> on_log;
  std::function<void(std::string_view)> on_box;

  void log_text(std::string_view text) override {
    RecordingLink::log_text(text);
    if (on_log) on_log(text);
  }
  Answer message_box(std::string_view text, std::string_view caption, Buttons buttons,
                     Icon icon) override {
    if (on_box) on_box(text);
    return RecordingLink::message_box(text, caption, buttons, icon);
  }
};

class FloppyTest : public ::testing::Test {
 protected:
  FloppyTest() {
    env_.link = &link_;
    env_.state = &state_;
    env_.folder = data_.path();
    env_.floppy_folder = floppy_.path();
    env_.cancel = &cancel_;
  }

  void add_row(const std::string& name) {
    ASSERT_LT(name.size(), sizeof state_.update_rows[0].name);
    std::strcpy(state_.update_rows[state_.rows_in_use++].name, name.c_str());
  }

  // The regular files of `folder` with their contents, in name order.
  static std::vector<std::pair<std::string, std::string>> files_in(const std::string& folder) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
      if (e.is_regular_file()) {
        files.emplace_back(e.path().filename().string(), testutil::read_bytes(e.path().string()));
      }
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  static std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& [name, bytes] : files_in(folder)) names.push_back(name);
    return names;
  }

  // The worker's last act was its one finished message.
  void expect_finished_once(int message) {
    const auto done = link_.finished_messages();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].message, message);
    EXPECT_EQ(done[0].wparam, 0);
    EXPECT_EQ(done[0].lparam, 0);
    EXPECT_EQ(link_.events().back().rfind("finished:", 0), 0u);
  }

  // "A: (FOLDER)": drive A: and the folder standing for it, as the log names them.
  std::string a() const { return "A: (" + floppy_.path() + ")"; }

  void expect_copy_box(std::size_t index, const std::string& name) {
    const auto boxes = link_.boxes();
    ASSERT_LT(index, boxes.size());
    EXPECT_EQ(boxes[index].text, "A:\\" + name + " (" + floppy_.file(name) + ")");
    EXPECT_EQ(boxes[index].caption, "ERROR copying file");
    EXPECT_EQ(boxes[index].buttons, Buttons::retry_cancel);
    EXPECT_EQ(boxes[index].icon, Icon::none);
  }

  testutil::TempDir data_;
  testutil::TempDir floppy_;
  HookLink link_;
  updater::UpdaterState state_;
  std::atomic<bool> cancel_{false};
  updater::WorkerEnv env_;
};

// --- copy to floppy --------------------------------------------------------------------------

TEST_F(FloppyTest, CopyToCopiesTheRowsInUseInRowOrderReplacingFilesOnTheFloppy) {
  testutil::write_bytes(data_.file("0112to0119.db"), "second week");
  testutil::write_bytes(data_.file("0105to0112.db"), "first week");
  testutil::write_bytes(data_.file("0119to0126.db"), "not in use");
  testutil::write_bytes(floppy_.file("0105to0112.db"), "an older copy, longer than the new");
  add_row("0112to0119.db");
  add_row("0105to0112.db");
  add_row("0119to0126.db");
  state_.rows_in_use = 2;

  EXPECT_EQ(updater::copy_to_floppy(env_), 0);

  EXPECT_EQ(link_.log(),
            "Copying 0112to0119.db to " + a() + "\r\n"
            "Copying 0105to0112.db to " + a() + "\r\n"
            "Copying complete\r\n");
  EXPECT_TRUE(link_.boxes().empty());
  using Files = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(files_in(floppy_.path()),
            (Files{{"0105to0112.db", "first week"}, {"0112to0119.db", "second week"}}));
  expect_finished_once(updater::UM_FLOPPY_DONE);
}

// Nothing copied is said so; a floppy folder that is not there is one box, whatever the files.
TEST_F(FloppyTest, NothingCopiedIsSaidSoAndAMissingFloppyIsOneBox) {
  testutil::write_bytes(data_.file("0105to0112.db"), "first week");
  testutil::write_bytes(floppy_.file("0105to0112.db"), "first week");
  testutil::write_bytes(floppy_.file("0112to0119.db"), "second week");
  testutil::write_bytes(data_.file("0112to0119.db"), "second week");
  add_row("0105to0112.db");
  add_row("0112to0119.db");
  const std::string missing = floppy_.file("no-disk");
  const std::string from = "Reading floppy disk A: (" + missing + ")...\r\n";
  const std::string gone = "Nothing copied: A: (" + missing + ") not found\r\n";
  struct Case {
    const char* what;
    int rows;
    bool floppy_there;
    int (*worker)(updater::WorkerEnv&);
    std::string log;
  };
  const Case cases[] = {
      {"to, no rows", 0, true, updater::copy_to_floppy, "Nothing copied\r\n"},
      {"to, no floppy", 2, false, updater::copy_to_floppy, gone},
      {"from, all there", 0, true, updater::copy_from_floppy,
       "Reading floppy disk " + a() + "...\r\n0105to0112.db is already on hard disk\r\n" +
           "0112to0119.db is already on hard disk\r\nNothing copied\r\n"},
      {"from, no floppy", 0, false, updater::copy_from_floppy, from + gone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    link_.clear();
    state_.rows_in_use = c.rows;
    env_.floppy_folder = c.floppy_there ? floppy_.path() : missing;

    EXPECT_EQ(c.worker(env_), 0);

    EXPECT_EQ(link_.log(), c.log);
    ASSERT_EQ(link_.boxes().size(), c.floppy_there ? 0u : 1u);
    if (!c.floppy_there) {
      EXPECT_EQ(link_.boxes()[0].text,
                "A: (" + missing + ") not found\rIs the floppy disk in the drive?");
      EXPECT_EQ(link_.boxes()[0].caption, "ERROR copying file");
      EXPECT_EQ(link_.boxes()[0].buttons, Buttons::ok);
      EXPECT_FALSE(fs::exists(missing));
    }
    expect_finished_once(updater::UM_FLOPPY_DONE);
  }
}

TEST_F(FloppyTest, CopyToAsksRetryOrCancelForEachFailureUntilACopySucceedsOrIsGivenUp) {
  add_row("0105to0112.db");  // appears while the third box is up
  add_row("0112to0119.db");  // never there
  add_row("0119to0126.db");
  testutil::write_bytes(data_.file("0119to0126.db"), "third week");
  int box_count = 0;
  link_.on_box = [&](std::string_view) {
    if (++box_count == 3) testutil::write_bytes(data_.file("0105to0112.db"), "found it");
  };
  for (int i = 0; i < 3; ++i) link_.answer(Answer::retry);
  link_.answer(Answer::cancel);

  updater::copy_to_floppy(env_);

  ASSERT_EQ(link_.boxes().size(), 4u);
  for (std::size_t i = 0; i < 3; ++i) expect_copy_box(i, "0105to0112.db");
  expect_copy_box(3, "0112to0119.db");
  using Files = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(files_in(floppy_.path()),
            (Files{{"0105to0112.db", "found it"}, {"0119to0126.db", "third week"}}));
  // A failure writes no log line.
  EXPECT_EQ(link_.log(),
            "Copying 0105to0112.db to " + a() + "\r\n"
            "Copying 0112to0119.db to " + a() + "\r\n"
            "Copying 0119to0126.db to " + a() + "\r\n"
            "Copying complete\r\n");
  expect_finished_once(updater::UM_FLOPPY_DONE);
}

// A full floppy, another writer of the same week's file, symlinks planted on the floppy and
// temporaries left by a killed copy: every final name holds one whole file or what it held.
TEST_F(FloppyTest, EveryFinalNameHoldsAWholeFileAndNothingIsWrittenThroughASymlink) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  const std::string left = ".new-" + std::to_string(child) + "-0";
  for (const std::string& folder : {data_.path(), floppy_.path()}) {
    testutil::write_bytes(folder + "/0105to0112.db" + left, "left by a killed copy");
  }
  testutil::TempDir elsewhere;
  testutil::write_bytes(elsewhere.file("secret"), "not for the floppy");
  const std::string week(300, 'w');
  for (const char* name : {"0105to0112.db", "0112to0119.db", "0119to0126.db"}) {
    testutil::write_bytes(data_.file(name), week);
    add_row(name);
  }
  fs::create_symlink(elsewhere.file("secret"), floppy_.file("0105to0112.db"));
  fs::create_symlink(data_.file("0112to0119.db"), floppy_.file("0112to0119.db"));
  testutil::write_bytes(floppy_.file("0119to0126.db"), "an older copy");

  // The floppy fills up during the last copy; Cancel gives it up.
  link_.on_log = [&](std::string_view text) {
    if (text.find("0119to0126") != std::string_view::npos) {
      platform::testing::fail_writes_after(100, ENOSPC);
    }
  };
  updater::copy_to_floppy(env_);
  platform::testing::fail_writes_after(-1, 0);

  using Files = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(files_in(floppy_.path()), (Files{{"0105to0112.db", week},
                                             {"0112to0119.db", week},
                                             {"0119to0126.db", "an older copy"}}));
  EXPECT_EQ(names_in(elsewhere.path()), std::vector<std::string>{"secret"});
  EXPECT_EQ(testutil::read_bytes(elsewhere.file("secret")), "not for the floppy");
  EXPECT_EQ(link_.boxes().size(), 1u);
  EXPECT_EQ(files_in(data_.path()).size(), 3u);

  // From the floppy: a symlink there is passed over; a download of the same week that is put in
  // place while the copy runs is kept whole.
  testutil::TempDir data;
  env_.folder = data.path();
  fs::remove(floppy_.file("0105to0112.db"));
  fs::create_symlink(elsewhere.file("secret"), floppy_.file("0126to0202.db"));
  link_.clear();
  link_.on_log = [&](std::string_view text) {
    if (text != "Copying 0112to0119.db from floppy\r\n") return;
    platform::NewFile download;
    ASSERT_EQ(download.create(data.file("0112to0119.db")), 0);
    ASSERT_TRUE(download.file().write("downloaded", 10).ok());
    ASSERT_EQ(download.commit(), 0);
  };
  updater::copy_from_floppy(env_);

  EXPECT_EQ(link_.log(),
            "Reading floppy disk " + a() + "...\r\n"
            "Copying 0112to0119.db from floppy\r\n"
            "0112to0119.db is already on hard disk\r\n"
            "Copying 0119to0126.db from floppy\r\n"
            "Copying complete\r\n");
  EXPECT_EQ(files_in(data.path()),
            (Files{{"0112to0119.db", "downloaded"}, {"0119to0126.db", "an older copy"}}));
  EXPECT_TRUE(link_.boxes().empty());
}

// --- copy from floppy ------------------------------------------------------------------------

TEST_F(FloppyTest, CopyFromTakesEveryDbFileOfThirteenCharactersInNameOrder) {
  const char* const taken[] = {"0105TO0112.DB", "0105to0112.db", "abcdefghij.db"};
  const char* const left[] = {"call0105.db", "0105to0112x.db", "0105to0112.dbx",
                              "0105to0112.txt", "0105to0112.d"};
  for (const char* name : taken) testutil::write_bytes(floppy_.file(name), name);
  for (const char* name : left) testutil::write_bytes(floppy_.file(name), name);
  fs::create_directory(floppy_.file("0119to0126.db"));

  EXPECT_EQ(updater::copy_from_floppy(env_), 0);

  EXPECT_EQ(link_.log(),
            "Reading floppy disk " + a() + "...\r\n"
            "Copying 0105TO0112.DB from floppy\r\n"
            "Copying 0105to0112.db from floppy\r\n"
            "Copying abcdefghij.db from floppy\r\n"
            "Copying complete\r\n");
  std::vector<std::pair<std::string, std::string>> expected;
  for (const char* name : taken) expected.emplace_back(name, name);
  EXPECT_EQ(files_in(data_.path()), expected);
  EXPECT_FALSE(fs::exists(data_.file("0119to0126.db")));
  EXPECT_TRUE(link_.boxes().empty());
  expect_finished_once(updater::UM_FLOPPY_DONE);
}

TEST_F(FloppyTest, CopyFromNeverReplacesWhatTheDataFolderHas) {
  for (const char* name : {"0105to0112.db", "0112to0119.db", "0119to0126.db"}) {
    testutil::write_bytes(floppy_.file(name), "from the floppy");
  }
  testutil::write_bytes(data_.file("0105to0112.db"), "mine");
  fs::create_directory(data_.file("0119to0126.db"));

  updater::copy_from_floppy(env_);

  EXPECT_EQ(link_.log(),
            "Reading floppy disk " + a() + "...\r\n"
            "0105to0112.db is already on hard disk\r\n"
            "Copying 0112to0119.db from floppy\r\n"
            "0119to0126.db is already on hard disk\r\n"
            "Copying complete\r\n");
  EXPECT_EQ(testutil::read_bytes(data_.file("0105to0112.db")), "mine");
  EXPECT_EQ(testutil::read_bytes(data_.file("0112to0119.db")), "from the floppy");
  EXPECT_TRUE(fs::is_directory(data_.file("0119to0126.db")));
  expect_finished_once(updater::UM_FLOPPY_DONE);
}

TEST_F(FloppyTest, CopyFromAsksForEachFailedCopyAndRetryCopiesAgain) {
  testutil::write_bytes(floppy_.file("0105to0112.db"), "first week");
  testutil::write_bytes(floppy_.file("0112to0119.db"), "second week");
  const std::string missing = data_.file("not-yet");
  env_.folder = missing;

  // Both copies fail; Cancel gives the first up, and the folder appears before Retry.
  int box_count = 0;
  link_.on_box = [&](std::string_view) {
    if (++box_count == 2) fs::create_directory(missing);
  };
  link_.answer(Answer::cancel);
  link_.answer(Answer::retry);

  updater::copy_from_floppy(env_);

  ASSERT_EQ(link_.boxes().size(), 2u);
  expect_copy_box(0, "0105to0112.db");
  expect_copy_box(1, "0112to0119.db");
  using Files = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(files_in(missing), (Files{{"0112to0119.db", "second week"}}));
  EXPECT_EQ(link_.log(),
            "Reading floppy disk " + a() + "...\r\n"
            "Copying 0105to0112.db from floppy\r\n"
            "Copying 0112to0119.db from floppy\r\n"
            "Copying complete\r\n");
  expect_finished_once(updater::UM_FLOPPY_DONE);
}

// --- clean-up --------------------------------------------------------------------------------

TEST_F(FloppyTest, CleanupDeletesUpdateFilesAndSavedDatabasesAsTheModeSays) {
  const char* const update_files[] = {"0105to0112.db", "9999to0000.db"};
  const char* const saved_databases[] = {"call0105.db", "call9999.db"};
  const char* const survivors[] = {
      "call.db",       "call.db.new",      "callprev.db",   "cancall.db",    "amateur.zip",
      "amateur.txt",   "call0105.dbx",     "0105to0112.db.bak", "0105TO0112.DB", "0105TO0112.db",
      "CALL0105.DB",   "Call0105.db",      "call010.db",    "call01055.db",  "0105to011a.db",
      "x0105to0112.db", "0105-to0112.db",  "0105to0112.DB", "call0105.d",    "0105to0112db"};
  struct Case {
    int mode;
    const char* log;
    bool update_files_go;
    bool saved_databases_go;
  };
  const Case cases[] = {
      {updater::kCleanUpdateFiles, "0105to0112.db deleted\r\n9999to0000.db deleted\r\n", true,
       false},
      {updater::kCleanUpdateFiles | updater::kCleanSavedDatabases,
       "0105to0112.db deleted\r\n9999to0000.db deleted\r\n"
       "call0105.db deleted\r\ncall9999.db deleted\r\n",
       true, true},
      {updater::kCleanSavedDatabases, "call0105.db deleted\r\ncall9999.db deleted\r\n", false,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("mode " + std::to_string(c.mode));
    HookLink link;
    env_.link = &link;
    for (const char* name : update_files) testutil::write_bytes(data_.file(name), name);
    for (const char* name : saved_databases) testutil::write_bytes(data_.file(name), name);
    for (const char* name : survivors) testutil::write_bytes(data_.file(name), name);
    fs::create_directory(data_.file("call0001.db"));  // a folder is never a saved database
    state_.cleanup_mode = c.mode;

    EXPECT_EQ(updater::cleanup_old_files(env_), 0);

    EXPECT_EQ(link.log(), c.log);
    for (const char* name : update_files) {
      EXPECT_EQ(fs::exists(data_.file(name)), !c.update_files_go) << name;
    }
    for (const char* name : saved_databases) {
      EXPECT_EQ(fs::exists(data_.file(name)), !c.saved_databases_go) << name;
    }
    for (const char* name : survivors) {
      EXPECT_EQ(testutil::read_bytes(data_.file(name)), name);
    }
    EXPECT_TRUE(fs::is_directory(data_.file("call0001.db")));
    ASSERT_EQ(link.finished_messages().size(), 1u);
    EXPECT_EQ(link.finished_messages()[0].message, updater::UM_CLEANUP_DONE);
    EXPECT_EQ(link.events().back(), "finished:1025 0 0");
  }
  env_.link = &link_;
}

TEST_F(FloppyTest, CleanupReadsTheModeAfreshForEachName) {
  testutil::write_bytes(data_.file("0105to0112.db"), "x");
  testutil::write_bytes(data_.file("call0105.db"), "x");
  state_.cleanup_mode = updater::kCleanUpdateFiles;
  link_.on_log = [&](std::string_view) {
    state_.cleanup_mode = updater::kCleanUpdateFiles | updater::kCleanSavedDatabases;
  };

  updater::cleanup_old_files(env_);

  EXPECT_EQ(link_.log(), "0105to0112.db deleted\r\ncall0105.db deleted\r\n");
  EXPECT_FALSE(fs::exists(data_.file("call0105.db")));
}

TEST_F(FloppyTest, CleanupReportsAFileItCouldNotDeleteAndGoesOn) {
  for (const char* name : {"0105to0112.db", "0112to0119.db", "0119to0126.db"}) {
    testutil::write_bytes(data_.file(name), "x");
  }
  // Once the first is gone, the second listed name becomes a folder, which unlink refuses.
  link_.on_log = [&](std::string_view text) {
    if (text != "0105to0112.db deleted\r\n") return;
    fs::remove(data_.file("0112to0119.db"));
    fs::create_directory(data_.file("0112to0119.db"));
  };

  updater::cleanup_old_files(env_);

  EXPECT_EQ(link_.log(), "0105to0112.db deleted\r\n"
                         "0112to0119.db NOT deleted, error " +
                             std::to_string(EISDIR) +
                             "\r\n"
                             "0119to0126.db deleted\r\n");
  EXPECT_TRUE(fs::is_directory(data_.file("0112to0119.db")));
  EXPECT_FALSE(fs::exists(data_.file("0119to0126.db")));
  expect_finished_once(updater::UM_CLEANUP_DONE);
}

TEST_F(FloppyTest, CleanupOfAFolderThatCannotBeListedOnlyFinishes) {
  env_.folder = data_.file("gone");
  state_.cleanup_mode = updater::kCleanUpdateFiles | updater::kCleanSavedDatabases;

  updater::cleanup_old_files(env_);

  EXPECT_EQ(link_.log(), "");
  expect_finished_once(updater::UM_CLEANUP_DONE);
}

// --- outside text shown ----------------------------------------------------------------------

TEST(EscapeControls, LineEndsStayEveryOtherControlCharacterIsEscaped) {
  struct Case {
    std::string text;
    bool lone_cr_breaks;
    std::string shown;
  };
  const Case cases[] = {
      {"line\r\nnext\nlast", false, "line\r\nnext\nlast"},
      {"\x1b]0;title\x07\x1b[2J", false, "\\x1b]0;title\\x07\\x1b[2J"},
      {"forged\rUM_UPDATE_DONE 1 0\r\n", false, "forged\\x0dUM_UPDATE_DONE 1 0\r\n"},
      {"one\rtwo\r\n", true, "one\rtwo\r\n"},
      {std::string("\0\t\x7f\x80\xe9 A:\\", 9), false, "\\x00\\x09\\x7f\x80\xe9 A:\\"},
      {"ends\r", false, "ends\\x0d"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(updater::escape_controls(c.text, c.lone_cr_breaks), c.shown) << c.shown;
  }
}

// --- cancelling ------------------------------------------------------------------------------

// The window closes while the worker handles 0105to0112.db: it handles no further file, and
// still finishes.
class CancelTest : public FloppyTest {
 protected:
  CancelTest() {
    link_.on_log = [&](std::string_view text) {
      if (text.find("0105to0112.db") != std::string_view::npos) cancel_ = true;
    };
  }
};

TEST_F(CancelTest, CopyToStopsAfterTheFileInHand) {
  for (const char* name : {"0105to0112.db", "0112to0119.db"}) {
    testutil::write_bytes(data_.file(name), name);
    add_row(name);
  }
  updater::copy_to_floppy(env_);
  EXPECT_EQ(link_.log(), "Copying 0105to0112.db to " + a() + "\r\n");
  EXPECT_EQ(names_in(floppy_.path()), std::vector<std::string>{"0105to0112.db"});
  expect_finished_once(updater::UM_FLOPPY_DONE);
}

TEST_F(CancelTest, CopyFromStopsAfterTheFileInHand) {
  for (const char* name : {"0105to0112.db", "0112to0119.db"}) {
    testutil::write_bytes(floppy_.file(name), name);
  }
  updater::copy_from_floppy(env_);
  EXPECT_EQ(link_.log(),
            "Reading floppy disk " + a() + "...\r\nCopying 0105to0112.db from floppy\r\n");
  EXPECT_EQ(names_in(data_.path()), std::vector<std::string>{"0105to0112.db"});
  expect_finished_once(updater::UM_FLOPPY_DONE);
}

TEST_F(CancelTest, CleanupStopsAfterTheFileInHand) {
  for (const char* name : {"0105to0112.db", "0112to0119.db"}) {
    testutil::write_bytes(data_.file(name), name);
  }
  updater::cleanup_old_files(env_);
  EXPECT_EQ(link_.log(), "0105to0112.db deleted\r\n");
  EXPECT_EQ(names_in(data_.path()), std::vector<std::string>{"0112to0119.db"});
  expect_finished_once(updater::UM_CLEANUP_DONE);
}

TEST_F(CancelTest, ACopyGivesUpRetryingAtOnce) {
  add_row("0105to0112.db");  // never there
  link_.on_log = nullptr;
  link_.on_box = [&](std::string_view) { cancel_ = true; };
  link_.answer(Answer::retry);
  link_.answer(Answer::retry);

  updater::copy_to_floppy(env_);

  EXPECT_EQ(link_.boxes().size(), 1u);
  expect_finished_once(updater::UM_FLOPPY_DONE);
}

}  // namespace
