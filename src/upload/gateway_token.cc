#include "text/log_text.h"
#include "transport/url_text.h"
#include "upload/corvane_multi_upload.h"
#include "upload/response_judging.h"

namespace corvane {

std::string CorvaneMultiUpload::getGatewayToken() {
  HttpRequest request = newRequest("POST", accounturl + gatewaytokenurl);
  // Both values are form-encoded: a secret holding "&", "=" or "+" must reach
  // the gateway as it is.
  request.postFields = "grant_type=client_credentials&client_id=" + percentEncode(appkey) +
                       "&client_secret=" + percentEncode(appsecret);
  HttpResponse response = context_.loop.perform(request);
  if (response.result != CURLE_OK) return {};

  // The token goes back to the service: never shown, never converted.
  dumpResponse("getGatewayToken", redactMembers(response.body, {"access_token"}),
               response.headers);
  rapidjson::Document document;
  if (!parseObject(response.body, document)) return {};
  // The token goes into a header line: one with a control character is none.
  std::string token = stringMember(document, "access_token").value_or(std::string());
  return hasControlCharacter(token) ? std::string() : token;
}

}  // namespace corvane
