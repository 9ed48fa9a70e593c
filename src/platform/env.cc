#include "platform/env.h"

#include "platform/path_split.h"

namespace corvane {
namespace {

Env* installed = nullptr;

}  // namespace

Env& Env::current() { return installed ? *installed : systemEnv(); }

Env* Env::install(Env* env) {
  Env* previous = installed;
  installed = env;
  return previous;
}

bool createDirectories(Env& env, const std::string& path) {
  if (path.empty()) return false;
  // Every prefix that ends before a separator is a parent to create first.
  for (size_t at : separatorPositions(path)) {
    if (at == 0) continue;  // the root
    const std::string parent = path.substr(0, at);
    if (!env.pathExists(parent)) env.createDirectory(parent);
  }
  if (!env.pathExists(path)) env.createDirectory(path);
  return env.pathExists(path);
}

}  // namespace corvane
