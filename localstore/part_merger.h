// Joins a task's parts (part-1 .. part-N) into one file, in part order,
// streaming through a FileSink. Refuses gaps and a total that differs from the
// announced length.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "file_io.h"

namespace localstore {

struct MergeOutcome {
  bool ok = false;
  std::string message;  // why the parts cannot be merged
};

MergeOutcome merge_parts(const std::filesystem::path& task_dir, std::uint64_t expected_length,
                         FileSink& out);

}  // namespace localstore
