#include "platform/path_split.h"

namespace corvane {

std::vector<size_t> separatorPositions(const std::string& path) {
  std::vector<size_t> positions;
  for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1)) {
    positions.push_back(at);
  }
  return positions;
}

}  // namespace corvane
