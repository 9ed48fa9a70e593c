#include "part_merger.h"

#include <charconv>
#include <map>
#include <system_error>

namespace localstore {
namespace {

// Part number of a committed "part-<n>" file (temporaries have a suffix).
bool part_number_of(const std::string& file_name, std::uint64_t& part) {
  constexpr std::string_view prefix = "part-";
  if (file_name.rfind(prefix, 0) != 0) return false;
  const char* begin = file_name.data() + prefix.size();
  const char* end = file_name.data() + file_name.size();
  auto [stop, ec] = std::from_chars(begin, end, part);
  return ec == std::errc() && stop == end && begin != end && part >= 1;
}

std::map<std::uint64_t, std::filesystem::path> list_parts(const std::filesystem::path& dir) {
  std::map<std::uint64_t, std::filesystem::path> parts;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::uint64_t n = 0;
    if (entry.is_regular_file() && part_number_of(entry.path().filename().string(), n)) {
      parts[n] = entry.path();
    }
  }
  return parts;
}

MergeOutcome check_parts(const std::map<std::uint64_t, std::filesystem::path>& parts,
                         std::uint64_t expected_length) {
  std::uint64_t highest = parts.empty() ? 0 : parts.rbegin()->first;
  std::uint64_t total = 0;
  for (std::uint64_t n = 1; n <= highest; ++n) {
    auto it = parts.find(n);
    if (it == parts.end()) return {false, "part " + std::to_string(n) + " missing"};
    total += std::filesystem::file_size(it->second);
  }
  if (parts.empty() && expected_length > 0) return {false, "no parts uploaded"};
  if (total != expected_length) {
    return {false, "length mismatch: parts hold " + std::to_string(total) + " bytes, task expects " +
                       std::to_string(expected_length)};
  }
  return {true, ""};
}

}  // namespace

MergeOutcome merge_parts(const std::filesystem::path& task_dir, std::uint64_t expected_length,
                         FileSink& out) {
  auto parts = list_parts(task_dir);
  MergeOutcome verdict = check_parts(parts, expected_length);
  if (!verdict.ok) return verdict;
  for (const auto& [n, path] : parts) {
    if (!stream_file(path, [&](const char* data, size_t len) { out.write(data, len); })) {
      return {false, "cannot read part " + std::to_string(n)};
    }
  }
  if (!out.ok()) return {false, "cannot write merged file"};
  return {true, ""};
}

}  // namespace localstore
