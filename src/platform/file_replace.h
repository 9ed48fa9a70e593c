#pragma once

#include <string>

namespace corvane {

// The name beside `path` under which replaceFile() writes the new file
// before it takes `path`'s name: `path` and a suffix, so that one a killed
// run left behind is found, and removed, by the next write or probe.
inline constexpr char kTemporarySuffix[] = ".corvane-tmp";
std::string temporaryNameFor(const std::string& path);

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

// True when replaceFile() could put a file at `path`: `path` is not a
// directory and its directory accepts the very temporary file the write will
// create (it is created and removed again; one a killed run left there goes
// too). False with the system's reason otherwise.
bool canReplaceFile(const std::string& path, std::string& reason);

}  // namespace corvane
