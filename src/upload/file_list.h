#pragma once

#include <rapidjson/document.h>

#include <string>
#include <vector>

#include "upload/run_context.h"

namespace corvane {

class CorvaneMultiUpload;

// Most entries a list of files may hold.
constexpr size_t kMaxListedFiles = 10000;

// Reads the list under the key `files` into `entries`: an array of 1 to
// 10,000 objects, each with a non-empty `localfile` and `targetname` string
// (the characters before the first NUL), while the top-level `localfile` and
// `targetname` are absent. False, with the reason and the entry's position
// in `problem`, otherwise. The paths are not converted yet.
bool readFileList(const rapidjson::Document& document, std::vector<FileEntry>& entries,
                  std::string& problem);

// Converts every entry's local path to the local code page; false, with the
// entry's position in `problem`, for one that has no form there.
bool convertFileList(std::vector<FileEntry>& entries, std::string& problem);

// Uploads every file of `list`'s run (its context's `files`), up to
// `parallelfiles` side by side, each as run() would upload it alone, and
// writes one result for all of them. True when the result file was written.
bool runFileList(CorvaneMultiUpload& list);

}  // namespace corvane
