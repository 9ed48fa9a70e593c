// Request-target helpers. Query strings are parsed here rather than taken from
// httplib's params so that every byte (e.g. "%2B", "=" inside values, UTF-8)
// is decoded exactly once and the same way for routing and for signatures.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace localstore {

using QueryParams = std::vector<std::pair<std::string, std::string>>;

// %XX becomes the byte; "+" becomes a blank when `plus_as_space`; malformed
// escapes are kept literally.
std::string percent_decode(std::string_view text, bool plus_as_space);

std::string_view raw_path_of(std::string_view target);   // before the first '?'
std::string_view raw_query_of(std::string_view target);  // after it, or empty

// Splits "a=1&b&c=x=y" into decoded pairs in order; a piece without '=' has an
// empty value; empty pieces and empty names are skipped.
QueryParams parse_query(std::string_view raw_query);

// First value of `name`, or nullptr.
const std::string* find_param(const QueryParams& params, std::string_view name);

}  // namespace localstore
