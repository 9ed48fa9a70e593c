#include "responses.h"

#include "json_util.h"

namespace localstore {

void reply_json(httplib::Response& res, int status, const std::string& json) {
  res.status = status;
  res.set_content(json, "application/json");
}

void reply_error(httplib::Response& res, int status, std::string_view message) {
  reply_json(res, status, error_envelope(status, message));
}

void reply_success(httplib::Response& res, const std::string& data_json) {
  reply_json(res, 200, success_envelope(data_json));
}

void reply_storage_error(httplib::Response& res, int status, std::string_view code,
                         std::string_view message) {
  res.status = status;
  std::string body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>";
  body.append(code).append("</Code><Message>").append(message).append("</Message></Error>\n");
  res.set_content(body, "application/xml");
}

}  // namespace localstore
