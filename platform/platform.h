// The operating-system layer. Everything the programs need from the system beyond standard C++
// goes through here: files with Windows-style share modes, moves that never replace, copies,
// directory listings, the current directory, IPv4 TCP sockets and libraries loaded at run
// time. One implementation per system, chosen by CMake (file_posix.cpp, socket_posix.cpp and
// library_posix.cpp here; *_win32.cpp files can sit beside them).
//
// Every call reports the system's own error code (errno here, GetLastError() on Windows) so that
// callers can show it in messages as "%d". Zero means success.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class Access { read, write, read_write };

// Who else may have the file open while we hold it.
//   none:       nobody. Fails at once while anyone else holds the file, and makes every later
//               open fail while we hold it.
//   read, read_write: others may open it too, as long as nobody holds it with `none`.
// On POSIX this is emulated with flock(): `none` takes an exclusive lock, the others a shared
// one, both without waiting.
enum class Share { none, read, read_write };

enum class Disposition {
  open_existing,  // fail when the file does not exist
  create_always,  // create, or empty an existing file (only once the share check has passed);
                  // a symlink at the path fails the open (ELOOP)
  create_new,     // create; fail with the system's "exists" code when anything has the name
                  // already, a symlink included (never written through)
};

// The error code an open gets when the share check fails.
int sharing_violation_error();

// Which file a name or an open file is: two are one file when their ids are equal.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

// Result of a transfer: bytes moved and the system error code (0 when none).
struct IoResult {
  std::uint64_t count = 0;
  int error = 0;
  bool ok() const { return error == 0; }
};

// An open file. Move-only; closes itself when destroyed.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens `path`. Returns 0 or the system error code; on failure the object stays closed.
  int open(const std::string& path, Access access, Share share, Disposition disposition);
  bool is_open() const { return fd_ >= 0; }

  // Reads up to n bytes at the current position, retrying short reads until n bytes came or the
  // file ended. count < n with error 0 means end of file.
  IoResult read(void* buffer, std::size_t n);
  // Reads up to n bytes at `offset` without moving the current position.
  IoResult read_at(std::uint64_t offset, void* buffer, std::size_t n) const;
  // Writes all n bytes at the current position, or fails with the error code.
  IoResult write(const void* buffer, std::size_t n);
  // Writes all n bytes at `offset` without moving the current position.
  IoResult write_at(std::uint64_t offset, const void* buffer, std::size_t n);
  // Moves the current position to `offset` from the start. Returns 0 or the error code.
  int seek(std::uint64_t offset);
  // count = the file's size in bytes.
  IoResult size() const;
  // Flushes written data to the storage device. Returns 0 or the error code.
  int sync();
  // Returns 0 or the error code; closing a closed file does nothing and returns 0.
  int close();
  // Which file this is. Returns 0 or the error code.
  int id(FileId* id) const;

 private:
  int fd_ = -1;
};

// A file written under a temporary name that only its writer uses and put in place whole: the
// temporary file is created beside the final one (same folder, so the rename is one step) with
// Disposition::create_new and a name made unique by the process and a counter,
// "FINAL.new-PID-N". commit() flushes it to disk, renames it to the final name and flushes the
// folder; a NewFile destroyed or discarded before its commit removes its temporary file. A
// planted symlink at the final name is replaced by the rename, never written through.
class NewFile {
 public:
  NewFile() = default;
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Creates the temporary file for `final_path`, opened for writing with Share::read. Returns 0
  // or the error code. A NewFile created before is discarded first.
  int create(const std::string& final_path);
  File& file() { return file_; }
  bool is_open() const { return file_.is_open(); }
  const std::string& temp_path() const { return temp_; }
  const std::string& final_path() const { return final_; }

  enum class Replace { yes, no };
  // fsync, close, rename to the final name, fsync the folder. With Replace::no an existing
  // final file is kept and the commit fails with the "exists" code. On failure the temporary
  // file is removed. Returns 0 or the error code.
  int commit(Replace replace = Replace::yes);
  // Closes and removes the temporary file (nothing when none is open or it was committed).
  void discard();

 private:
  File file_;
  std::string final_;
  std::string temp_;
};

// True for the names NewFile gives its temporary files.
bool is_temporary_name(const std::string& name);
// Removes the temporary files in `folder` that a writer which has ended left (a crash or a
// kill): regular files only (never a symlink, a folder or what a symlink points to), named
// "FINAL.new-PID-N" where `ours(FINAL)` says FINAL is a name our writers give. Those of running
// processes, this one's included, are left alone; a process that started after the file was
// last written cannot be its writer (its id was used again), so the file counts as left. Call
// it only while holding the folder's FolderLock, so that no writer of another program (whose
// process id may mean nothing here) can be at work. Returns how many it removed.
int remove_stale_temporaries(const std::string& folder,
                             const std::function<bool(std::string_view final_name)>& ours);

// ---- One writer per folder ----

// The file whose lock a folder's writers hold. It is there while a job runs (and after a killed
// one, until the next job ends).
inline constexpr char kFolderLockName[] = "calldb.lock";

// The writer lock of a folder: the file kFolderLockName in it, locked exclusively (flock()
// here, LockFileEx on Windows), so that the system drops it however its holder ends; the holder
// that lets it go removes the file first. Within one program the holders of one folder share
// it: a second lock() of the same folder in this process succeeds at once and the lock goes
// only when the last holder lets it go. Another program's lock() meanwhile fails with
// sharing_violation_error(). Move-only.
class FolderLock {
 public:
  FolderLock() = default;
  ~FolderLock();
  FolderLock(FolderLock&& other) noexcept;
  FolderLock& operator=(FolderLock&& other) noexcept;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // Takes `folder`'s lock without waiting, letting go of any lock held before. Returns 0, or
  // sharing_violation_error() while another program holds it, or the system's error.
  int lock(const std::string& folder);
  void unlock();
  bool held() const { return key_ >= 0; }

 private:
  long key_ = -1;  // this program's entry for the folder
};

// The id of the file `path` names (a symlink itself, not what it points to). Returns 0 or the
// error code.
int file_id(const std::string& path, FileId* id);

// Flushes a folder's entries (renames, creations, deletions) to disk. Returns 0 or the error.
int sync_folder(const std::string& folder);
// The folder part of a path ("" for a bare name, which stands for the current folder).
std::string folder_of(const std::string& path);

// Makes `to` a second name of the file `from` (a hard link). Fails when `to` exists. Returns 0
// or the error code (EXDEV/EPERM where the filesystem has no links).
int link_file(const std::string& from, const std::string& to);

// Renames `from` to `to`. Fails (with the system's "exists" code) when `to` exists: never
// replaces a file.
int move_file(const std::string& from, const std::string& to);
// Renames `from` to `to` in one step, replacing `to` when it exists: at every moment `to` is
// either the old file or the new one. Returns 0 or the error code.
int replace_file(const std::string& from, const std::string& to);
// Deletes a file. Returns 0 or the error code.
int delete_file(const std::string& path);
// Copies the regular file `from` (never through a symlink) to `to` through a NewFile: `to` is
// either untouched or the whole copy, a symlink at `to` is replaced rather than written
// through, and a failed copy leaves only what was there before. A source or a target that
// another holds with Share::none is refused with the sharing violation; one held otherwise is
// never truncated (the holder keeps the old file). With Replace::no an existing `to` is kept
// and the copy fails with the "exists" code. Returns 0 or the error code.
int copy_file(const std::string& from, const std::string& to,
              NewFile::Replace replace = NewFile::Replace::yes);
// True when `path` names an existing file or folder.
bool file_exists(const std::string& path);
// The names (not paths) of the regular files in `folder` whose names match `pattern`, where "*"
// stands for any run of characters and "?" for one character, letters matching either case
// (as Windows listings do: "*.db" lists 0105TO0112.DB); sorted by name. Returns 0 or the
// error code (a missing folder is an error).
int list_files(const std::string& folder, const std::string& pattern,
               std::vector<std::string>* names);
// Makes `folder` the current directory. Returns 0 or the error code.
int set_current_directory(const std::string& folder);
// From now on, sets *flag when the user interrupts the program (Ctrl+C) or the system asks it
// to end, instead of ending it. Long work checks the flag and stops cleanly.
void set_flag_on_interrupt(std::atomic<bool>* flag);

// Whether the process `pid` still runs, and this process's id.
bool process_alive(long pid);
// Whether the process `pid` runs and had already started at `since` (seconds since 1970): one
// that started later has the id of one that ended. Where the start cannot be told, as
// process_alive().
bool process_alive_since(long pid, std::int64_t since);
long current_process_id();

// The local calendar date and time of day.
struct LocalTime {
  int year = 0;
  int month = 0;  // 1-12
  int day = 0;    // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
};
LocalTime local_time();

// Joins a folder and a file name with the system's separator ("" + name is just name).
std::string join_path(const std::string& folder, const std::string& name);

// ---- Sockets ----
// IPv4 TCP streams, enough for a plain HTTP client. Addresses are IPv4 addresses in network
// byte order (as in in_addr.s_addr). Error codes are the system's (errno here,
// WSAGetLastError() on Windows).

// Readies the socket layer; call once before the first socket and pair with stop_sockets().
// Returns 0 or the error code. Nothing to do on POSIX.
int start_sockets();
void stop_sockets();

// A dotted address ("127.0.0.1") is taken as it is; anything else is looked up by name and the
// first IPv4 address is used. Returns 0 or a nonzero error code (the lookup's own code when
// the name is not found).
int resolve_ipv4(const std::string& host, std::uint32_t* address);

// A TCP stream socket. Move-only; closes itself when destroyed.
class Socket {
 public:
  Socket() = default;
  ~Socket();
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Creates an IPv4 TCP socket, closing any socket held before. Returns 0 or the error code.
  int open_stream();
  // Connects to `address` (network byte order) and `port`. Returns 0 or the error code.
  int connect(std::uint32_t address, int port);
  // A receive that waits longer than `seconds` fails (EAGAIN/EWOULDBLOCK here, WSAETIMEDOUT
  // on Windows). Returns 0 or the error code.
  int set_receive_timeout(int seconds);
  // Sends all n bytes, or fails with the error code. Never raises SIGPIPE.
  IoResult send(const void* buffer, std::size_t n);
  // One receive of up to n bytes. count 0 with error 0 means the peer closed the stream.
  IoResult receive(void* buffer, std::size_t n);

  // Waits at most `ms` milliseconds for the stream to have something for a receive (data, its
  // end or an error), or, with `for_writing`, room for a send or the end of a connect. *ready
  // tells whether it has. A wait cut short by a signal counts as a wait that saw nothing, so
  // that the caller can look at its cancel flag before waiting again. Returns 0 or the error.
  int wait(bool for_writing, int ms, bool* ready);
  // With `on`, calls that would wait fail at once instead (EAGAIN/EWOULDBLOCK here), and
  // connect() fails with EINPROGRESS while the connection goes on in the background; wait()
  // then tells when to try again. Returns 0 or the error code.
  int set_nonblocking(bool on);
  // The outcome of a connect that went on in the background: 0 once connected, or the error.
  int connect_result();
  // A send of what fits without waiting: count is what went, error EAGAIN when nothing did.
  IoResult send_some(const void* buffer, std::size_t n);
  // Takes over a connected socket handle from the system (a Listener's accept).
  void adopt(std::intptr_t handle);
  void close();
  bool is_open() const { return handle_ >= 0; }
  // The system's socket handle, for libraries that drive the stream themselves (TLS); -1 when
  // closed. The Socket still owns it.
  std::intptr_t native_handle() const { return handle_; }

 private:
  std::intptr_t handle_ = -1;  // wide enough for a Windows SOCKET
};

// ---- Serving ----

// What a file is now: which file, its size and its last change. Two stamps are equal only when
// the name still leads to the same, unchanged file.
struct FileStamp {
  FileId id;
  std::uint64_t size = 0;
  std::int64_t changed_ns = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};
int file_stamp(const std::string& path, FileStamp* stamp);

// A whole file's bytes.
struct FileBytes {
  std::unique_ptr<char[]> data;
  std::size_t size = 0;
  std::string_view view() const { return std::string_view(data.get(), size); }
};

// Reads the whole of `path` (at most `limit` bytes, else EFBIG) without any share mode, so
// that a writer that wants the file to itself is never refused because of this read (on Windows
// the file is opened with every sharing flag). *stamp receives the file's stamp as it was
// opened. Returns 0 or the system error code.
int read_file_unshared(const std::string& path, std::uint64_t limit, FileBytes* bytes,
                       FileStamp* stamp);

// A listening IPv4 TCP socket. Move-only; closes itself when destroyed.
class Listener {
 public:
  Listener() = default;
  ~Listener();
  Listener(Listener&& other) noexcept;
  Listener& operator=(Listener&& other) noexcept;
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds `address` (network byte order) and `port` (0: any free port) and listens. Returns 0
  // or the error code.
  int open(std::uint32_t address, int port, int backlog);
  // The port bound, or 0 when closed.
  int port() const;
  // Takes one waiting connection without waiting. It comes non-blocking, with small writes sent
  // at once. Returns 0, EAGAIN (EWOULDBLOCK) when none waits, or the error code.
  int accept(Socket* connection);
  void close();
  std::intptr_t native_handle() const { return handle_; }

 private:
  std::intptr_t handle_ = -1;
};

// Waits for any of many sockets at once (epoll here). Move-only; closes itself when destroyed.
class Poller {
 public:
  enum : unsigned { kReadable = 1, kWritable = 2, kHangup = 4 };
  struct Event {
    std::uint64_t tag = 0;
    unsigned events = 0;
  };

  Poller() = default;
  ~Poller();
  Poller(Poller&& other) noexcept;
  Poller& operator=(Poller&& other) noexcept;
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  int open();
  // Watches `handle` for `events` (kReadable, kWritable), reported with `tag`. With `shared`,
  // a handle several pollers watch wakes only one of them. Returns 0 or the error code.
  int add(std::intptr_t handle, unsigned events, std::uint64_t tag, bool shared = false);
  int modify(std::intptr_t handle, unsigned events, std::uint64_t tag);
  int remove(std::intptr_t handle);
  // Waits at most `ms` milliseconds; returns the number of events put in `events` (at most
  // `max`; 0 when the wait ended without any or was cut short by a signal), or -error.
  int wait(Event* events, int max, int ms);

 private:
  std::intptr_t handle_ = -1;
};

// ---- Libraries loaded at run time ----

// A shared library opened by name while the program runs, so that the program also runs
// without it. Move-only; unloads the library when destroyed.
class Library {
 public:
  Library() = default;
  ~Library();
  Library(Library&& other) noexcept;
  Library& operator=(Library&& other) noexcept;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // Loads `name`, resolving every reference at once, after unloading any library held before.
  // A bare name is searched for the system's way, a name with a folder is taken as it is.
  // Returns 0 or a nonzero error code (the system's when it gives one); on failure the object
  // stays closed.
  int open(const std::string& name);
  // The address of the exported `name`, or nullptr when the library lacks it or none is open.
  void* symbol(const char* name) const;
  void close();
  bool is_open() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

// The name zlib's shared library goes by on this system: "libz.so.1" here, "zlib1.dll" on
// Windows.
const char* zlib_library_name();

// ---- For tests ----
namespace testing {
// After `bytes` more bytes written through File::write and File::write_at (all files, all
// threads), every further write fails with `error` (ENOSPC: a full disk). A negative `bytes`
// turns this off again.
void fail_writes_after(std::int64_t bytes, int error);
// Calls `hook` with the new name before every move_file, replace_file and link_file (all
// threads; NewFile's commit included), as a slow disk would stretch the moment before it; an
// empty hook turns this off again.
void before_rename(std::function<void(const std::string& to)> hook);
}  // namespace testing

}  // namespace platform
