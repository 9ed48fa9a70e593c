#include <windows.h>

#include "platform/path_split.h"
#include "platform/windows_text.h"

namespace corvane {
namespace {

// The code page that paths are converted into for the ANSI calls.
constexpr UINT kGbkCodePage = 936;

bool isSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::vector<size_t> separatorPositions(const std::string& path) {
  const bool twoByteCharacters = !windows::pathsAreUtf8();
  std::vector<size_t> positions;
  for (size_t at = 0; at < path.size(); ++at) {
    if (isSeparator(path[at])) {
      positions.push_back(at);
    } else if (twoByteCharacters && IsDBCSLeadByteEx(kGbkCodePage, static_cast<BYTE>(path[at]))) {
      ++at;  // the trail byte belongs to this character, whatever its value
    }
  }
  return positions;
}

}  // namespace corvane
