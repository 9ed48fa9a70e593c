#pragma once

#include <string>

namespace corvane {

// The name of the temporary file beside `path` through which replaceFile()
// writes: short whatever the length of `path`'s own name, and the same for
// the same `path` in every run, so that one a killed run left behind is
// found and replaced by the next write or probe.
std::string temporaryNameFor(const std::string& path);
// Its last part alone: ".corvane-" and a hash of `path` in hex, ".tmp".
std::string temporaryBaseName(const std::string& path);

// Replaces the file at `path` with `text`: written whole to the temporary
// name beside it, then renamed over `path`, so a reader sees the old file or
// the new one, never a part. The new file gets the permissions an ordinary
// new file gets. False, with the system's reason in `reason` and any earlier
// file untouched, when a step fails. Unless `durable` is false, the new file
// is on disk before it takes the name. Where another program may hold the
// file open against replacement (Windows: a reader or a virus scanner
// without delete sharing), the rename is retried for up to 5 seconds, unless
// `waitWhileHeld` is false.
bool replaceFile(const std::string& path, const std::string& text, std::string& reason,
                 bool durable = true, bool waitWhileHeld = true);

// Removes the name `path` from its directory (the file's bytes stay with any
// other name it has). True when nothing is left at `path`, also when there
// was nothing; false with the system's reason otherwise. Retried for up to 5
// seconds while another program holds the file, as replaceFile().
bool removeFile(const std::string& path, std::string& reason);

// True when replaceFile() can put a file at `path`, found out by doing it:
// `path` is not a directory, the temporary file the write will use is
// created and renamed to `path` (which tries the directory, the name's
// length and any file held there), and `path` is removed again, so that
// nothing is left there. False with the system's reason otherwise.
bool canReplaceFile(const std::string& path, std::string& reason);

}  // namespace corvane
