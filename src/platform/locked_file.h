#pragma once

#include <memory>
#include <string>

namespace corvane {

// A small file of the program's own (a journal), opened for reading and
// writing, created when missing, and held under an exclusive lock for as
// long as the object lives, so that no second run can use it meanwhile.
// Every write reaches the disk before the call returns.
class LockedFile {
 public:
  enum class OpenStatus { kOpen, kInUse, kFailed };
  // Opens and locks `path`; nothing, with the status and (when it failed)
  // the system's reason, when it cannot be had.
  static std::unique_ptr<LockedFile> open(const std::string& path, OpenStatus& status,
                                          std::string& reason);
  virtual ~LockedFile() = default;

  // The whole content; empty when it cannot be read.
  virtual std::string readAll() = 0;
  // Replaces the content with `text`; false when it could not be written.
  virtual bool rewrite(const std::string& text) = 0;
  // Adds `text` at the end; false when it could not be written.
  virtual bool append(const std::string& text) = 0;
  // Removes the file's name; the lock lasts until the object goes away.
  virtual bool remove() = 0;
};

}  // namespace corvane
