#pragma once

#include <string>

namespace corvane {

// Percent-encodes a query value: the unreserved characters A-Z a-z 0-9 - . _ ~
// stay, every other byte becomes %XX with upper-case hex.
std::string percentEncode(const std::string& value);

// The URL without any user:password part, query string or fragment, for log
// lines: a token URL's query carries a credential and a signed URL's query is
// a capability.
std::string redactUrl(const std::string& url);

}  // namespace corvane
