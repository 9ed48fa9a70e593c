#pragma once

#include <string>

namespace corvane {

// Replaces the file at `path` with `text`: written whole to a new file with a
// short name in the same directory, then renamed over `path`, so a reader
// sees the old file or the new one, never a part. The new file gets the
// permissions an ordinary new file gets. False, with the system's reason in
// `reason` and any earlier file untouched, when a step fails. Unless
// `durable` is false, the new file is on disk before it takes the name.
bool replaceFile(const std::string& path, const std::string& text, std::string& reason,
                 bool durable = true);

// Removes the name `path` from its directory (the file's bytes stay with any
// other name it has). True when nothing is left at `path`, also when there
// was nothing; false with the system's reason otherwise.
bool removeFile(const std::string& path, std::string& reason);

// True when replaceFile() could put a file at `path`: `path` is not a
// directory and its directory accepts a new file (one is created and removed
// again). False with the system's reason otherwise.
bool canReplaceFile(const std::string& path, std::string& reason);

}  // namespace corvane
