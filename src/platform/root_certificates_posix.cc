#include "platform/root_certificates.h"

namespace corvane {

// libcurl reads the system's CA bundle itself.
std::vector<std::string> systemRootCertificates() { return {}; }

}  // namespace corvane
