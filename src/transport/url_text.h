#pragma once

#include <string>

namespace corvane {

// Percent-encodes a query value: the unreserved characters A-Z a-z 0-9 - . _ ~
// stay, every other byte becomes %XX with upper-case hex.
std::string percentEncode(const std::string& value);

// The URL as log lines show it: scheme, host, port (when the URL names one)
// and path, nothing else, with control characters escaped; "<unparsable URL>"
// when libcurl cannot read it. A token URL's query carries a credential, a
// signed URL's query is a capability, and user:password is a secret.
std::string redactUrl(const std::string& url);

// `text` (libcurl's words about a failure) without any user information of
// a URL it quotes: "user:password@" is left out, also where the password
// holds blanks or the URL is one libcurl could not read.
std::string withoutUserInfo(const std::string& text);

}  // namespace corvane
