#pragma once

#include <string>
#include <vector>

namespace corvane {

// The certificates that the operating system's own store trusts to identify
// TLS servers, each in DER form; empty where the TLS library's own defaults
// are the system's trust (Linux: the CA bundle libcurl was built with).
std::vector<std::string> systemRootCertificates();

}  // namespace corvane
