#pragma once

#include <rapidjson/document.h>

#include "upload/corvane_multi_upload.h"

namespace corvane {

// The optional `proxy` key: a proxy URL (http, https, socks4, socks4a,
// socks5 or socks5h, with a port and optionally user:password) or "direct"
// for none; absent (or empty), the environment and the system decide. Puts
// it in effect for every later request, the project lookup included. False,
// with "proxy is invalid!", for any other value.
bool readProxySetting(const rapidjson::Document& document, CorvaneMultiUpload& uploader);

}  // namespace corvane
