#pragma once

#include <string>

#include <rapidjson/document.h>

namespace corvane {

// Reads a file's content as text up to its first NUL byte, without a leading
// UTF-8 byte-order mark; the empty text when it cannot be opened.
std::string readTextFile(const std::string& path);

// True, and `field` replaced, when `key` holds a non-empty JSON string
// (counting the characters before its first NUL).
bool getConfigString(const rapidjson::Document& document, const std::string& key,
                     std::string& field);

// Replaces every occurrence of `pattern`, scanning on behind each
// replacement so that a replacement holding the pattern is not expanded.
void replaceAll(std::string& text, const std::string& pattern, const std::string& replacement);

// base + templ, with every `placeholder` replaced by `value`.
std::string completeUrl(const std::string& base, const std::string& templ,
                        const std::string& placeholder, const std::string& value);

}  // namespace corvane
