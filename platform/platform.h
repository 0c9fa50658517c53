// The operating-system layer. Everything the programs need from the system beyond standard C++
// goes through here: files with Windows-style share modes, moves that never replace, copies,
// directory listings and the current directory. One implementation per system, chosen by CMake
// (file_posix.cpp here; a file_win32.cpp can sit beside it).
//
// Every call reports the system's own error code (errno here, GetLastError() on Windows) so that
// callers can show it in messages as "%d". Zero means success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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
  create_always,  // create, or empty an existing file (only once the share check has passed)
};

// The error code an open gets when the share check fails.
int sharing_violation_error();

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

 private:
  int fd_ = -1;
};

// Renames `from` to `to`. Fails (with the system's "exists" code) when `to` exists: never
// replaces a file.
int move_file(const std::string& from, const std::string& to);
// Deletes a file. Returns 0 or the error code.
int delete_file(const std::string& path);
// Copies `from` to `to`, replacing `to` when it exists. Returns 0 or the error code.
int copy_file(const std::string& from, const std::string& to);
// True when `path` names an existing file or folder.
bool file_exists(const std::string& path);
// The names (not paths) of the regular files in `folder` whose names match `pattern`, where "*"
// stands for any run of characters and "?" for one character; sorted by name. Returns 0 or the
// error code (a missing folder is an error).
int list_files(const std::string& folder, const std::string& pattern,
               std::vector<std::string>* names);
// Makes `folder` the current directory. Returns 0 or the error code.
int set_current_directory(const std::string& folder);
// Joins a folder and a file name with the system's separator ("" + name is just name).
std::string join_path(const std::string& folder, const std::string& name);

}  // namespace platform
