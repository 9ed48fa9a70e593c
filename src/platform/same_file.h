#pragma once

#include <string>

namespace corvane {

// Whether the paths `a` and `b` name one file: the same text, two names of
// one existing file (a hard or symbolic link, another spelling of the path),
// or, for a file that does not exist yet, the same name in one directory.
bool nameSameFile(const std::string& a, const std::string& b);

}  // namespace corvane
