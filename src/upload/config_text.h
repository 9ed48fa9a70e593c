#pragma once

#include <string>
#include <vector>

#include <rapidjson/document.h>

namespace corvane {

// Reads a file's content as text up to its first NUL byte, without a leading
// UTF-8 byte-order mark; the empty text when it cannot be read, with the
// system's reason in `reason` when one is given.
std::string readTextFile(const std::string& path, std::string* reason = nullptr);

// Why `text`, read by readTextFile(), is not the UTF-8 a configuration must
// be: "configuration file is UTF-16; save it as UTF-8" for a UTF-16
// byte-order mark, "configuration file is not UTF-8 (line 2, column 14);
// save it as UTF-8" at the first byte that is not UTF-8; empty when it is.
std::string encodingProblem(const std::string& text);

// Parses `text` as one JSON document without recursion, so no depth of
// nesting can exhaust the stack. On a parse error `problem` tells where and
// what: "line 3, column 2: Missing a comma or '}' after an object member."
bool parseConfigText(const std::string& text, rapidjson::Document& document, std::string& problem);

// True, and `field` replaced, when `key` holds a non-empty JSON string
// (counting the characters before its first NUL).
bool getConfigString(const rapidjson::Document& document, const std::string& key,
                     std::string& field);

// The WARNING line for each key of `document` that no setting reads, in the
// file's order: "unknown key 'maxkpbs' ignored (did you mean 'maxkbps'?)",
// naming the nearest known key when one is at most two edits away (a
// letter added, removed, changed, or two neighbours swapped), else
// "unknown key 'kind' ignored".
std::vector<std::string> unknownKeyWarnings(const rapidjson::Document& document);

// Replaces every occurrence of `pattern`, scanning on behind each
// replacement so that a replacement holding the pattern is not expanded.
void replaceAll(std::string& text, const std::string& pattern, const std::string& replacement);

// base + templ, with every `placeholder` replaced by `value`.
std::string completeUrl(const std::string& base, const std::string& templ,
                        const std::string& placeholder, const std::string& value);

}  // namespace corvane
