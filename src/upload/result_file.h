#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// Size in bytes of the file at `path`; 0 when it cannot be opened.
uint64_t getFileSize(const std::string& path);

// Replaces the file at `path` with `text`: written whole to a temporary file
// beside it, then renamed into place, so a reader never sees a partial file.
// False, leaving any earlier file untouched and the system's reason in
// `reason`, when any step fails.
bool writeTextFile(const std::string& path, const std::string& text, std::string& reason);

// The one-line result document: code, message and the new file item.
std::string buildResultDocument(bool succeeded, const std::string& message,
                                const std::string& fileItemId, const std::string& fileItemName);

}  // namespace corvane
