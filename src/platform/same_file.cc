#include "platform/same_file.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <vector>

#include "platform/path_split.h"
#include "platform/read_only_file.h"

namespace corvane {
namespace {

// Whether two names that differ only in the letter case of ASCII letters
// name one file.
#ifdef _WIN32
constexpr bool kNamesIgnoreCase = true;
#else
constexpr bool kNamesIgnoreCase = false;
#endif

bool sameIdentity(const FileIdentity& a, const FileIdentity& b) {
  return a.device == b.device && a.fileId == b.fileId;
}

// `path` cut into its directory ("." when it has none) and its last name.
std::pair<std::string, std::string> splitName(const std::string& path) {
  const std::vector<size_t> separators = separatorPositions(path);
  if (separators.empty()) return {".", path};
  const size_t last = separators.back();
  const bool root = last == 0 || (last == 2 && path.size() > 1 && path[1] == ':');
  return {path.substr(0, root ? last + 1 : last), path.substr(last + 1)};
}

bool sameName(const std::string& a, const std::string& b) {
  if (!kNamesIgnoreCase) return a == b;
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

bool nameSameFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  if (a == b) return true;
  const std::optional<FileIdentity> first = identityOf(a);
  const std::optional<FileIdentity> second = identityOf(b);
  if (first && second) return sameIdentity(*first, *second);
  // Two names of one file either both exist or both do not.
  if (first || second) return false;
  const auto [directoryA, nameA] = splitName(a);
  const auto [directoryB, nameB] = splitName(b);
  if (nameA.empty() || !sameName(nameA, nameB)) return false;
  const std::optional<FileIdentity> folderA = identityOf(directoryA);
  const std::optional<FileIdentity> folderB = identityOf(directoryB);
  return folderA && folderB && sameIdentity(*folderA, *folderB);
}

}  // namespace corvane
