#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace corvane {

// The byte offsets of the directory separators in `path`, first to last.
// On Linux every '/' (no byte of a multibyte GBK or UTF-8 character is 0x2F).
// On Windows every '\' and '/' that is a character of its own: in a path in
// the ANSI code page 936 the second byte of a two-byte character may be
// 0x5C, the byte of '\' ("診" is D4 5C), and that byte separates nothing.
// A UTF-8 path (the wide-character calls) is split byte by byte.
std::vector<size_t> separatorPositions(const std::string& path);

}  // namespace corvane
