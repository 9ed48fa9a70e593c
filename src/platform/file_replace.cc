#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "platform/file_replace.h"

namespace corvane {

std::string temporaryBaseName(const std::string& path) {
  // FNV-1a: stable across runs and builds, which std::hash is not.
  uint64_t hash = 14695981039346656037ULL;
  for (unsigned char byte : path) {
    hash ^= byte;
    hash *= 1099511628211ULL;
  }
  char name[40];
  std::snprintf(name, sizeof name, ".corvane-%016" PRIx64 ".tmp", hash);
  return name;
}

}  // namespace corvane
