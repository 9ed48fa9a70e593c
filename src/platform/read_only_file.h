#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

// What tells one state of a file from another: its size, its modification
// time and which file it is (device and inode; on Windows the volume and
// file index); and the time of its last change of any kind, which no
// program can set back (a rewrite whose modification time was put back
// still moves it).
struct FileIdentity {
  uint64_t size = 0;
  int64_t modifiedNanoseconds = 0;
  uint64_t device = 0;
  uint64_t fileId = 0;
  int64_t changedNanoseconds = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The identity of the file that `path` names now; nothing when it cannot be
// read.
std::optional<FileIdentity> identityOf(const std::string& path);

// A file opened for reading raw bytes, closed when the object goes away.
class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;
  explicit ReadOnlyFile(const std::string& path);
  ~ReadOnlyFile();
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  // False when the file could not be opened or is not a regular file.
  bool isOpen() const { return handle_ != kClosed; }
  // Size in bytes of the open file as it was when it was opened (the one
  // measurement of it); 0 when it is not open.
  uint64_t size() const { return opened_.size; }
  // Reads up to `length` bytes at `offset` without moving any shared
  // position. Returns the bytes read, 0 at the end of the file, -1 on error.
  // A large read into a buffer misaligned against the file may return only
  // a few bytes, so that the next read into the same buffer lines up.
  int64_t readAt(uint64_t offset, char* destination, size_t length) const;
  // Tells the kernel the file is about to be read front to back.
  void adviseSequential() const;
  // The identity of the open file as it was when it was opened.
  const FileIdentity& openedIdentity() const { return opened_; }
  // The identity of the open file now; nothing when it cannot be read.
  std::optional<FileIdentity> currentIdentity() const;

 private:
  // The operating system's handle of the open file: a descriptor, or a
  // Windows HANDLE.
  static constexpr intptr_t kClosed = -1;
  intptr_t handle_ = kClosed;
  FileIdentity opened_;
};

}  // namespace corvane
