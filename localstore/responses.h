// Writing answers: JSON bodies and the document store's error envelope.
#pragma once

#include <httplib.h>

#include <string>
#include <string_view>

namespace localstore {

void reply_json(httplib::Response& res, int status, const std::string& json);

// `status` with {"code":<status>,"message":"<message>"}.
void reply_error(httplib::Response& res, int status, std::string_view message);

// {"code":"success","data":<data_json>} with 200.
void reply_success(httplib::Response& res, const std::string& data_json);

// Small XML error body, as object storage answers part uploads.
void reply_storage_error(httplib::Response& res, int status, std::string_view code,
                         std::string_view message);

}  // namespace localstore
