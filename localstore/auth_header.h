// Reading the Authorization header: "<scheme> <credentials>", scheme compared
// case-insensitively, any blanks around the credentials ignored.
#pragma once

#include <httplib.h>

#include <optional>
#include <string>

namespace localstore {

// Credentials after `scheme` ("bearer", "basic"), or nullopt when the header is
// missing, uses another scheme or has no credentials.
std::optional<std::string> authorization_credentials(const httplib::Request& req,
                                                     const std::string& scheme);

bool iequals(std::string_view a, std::string_view b);
std::string to_lower(std::string_view text);

}  // namespace localstore
