#include "upload/corvane_multi_upload.h"

namespace corvane {

bool CorvaneMultiUpload::buildGatewayHeaders(const std::string& url, const std::string& method,
                                             const QueryParameters& parameters,
                                             std::vector<std::string>& headerLines) {
  GatewayCredentials credentials{appkey, appsecret, projectid, tenantid};
  for (std::string& line : signedGatewayHeaderLines(credentials, url, method, parameters)) {
    headerLines.push_back(std::move(line));
  }
  return true;
}

HttpRequest CorvaneMultiUpload::newRequest(const std::string& method,
                                           const std::string& url) const {
  HttpRequest request;
  request.method = method;
  request.url = url;
  request.stallSeconds = stallseconds;
  return request;
}

std::vector<std::string> CorvaneMultiUpload::documentStoreHeaders(
    const std::string& url, const std::string& method, const QueryParameters& parameters) {
  std::vector<std::string> headers = {"Authorization:Bearer " + getCorvaneAccessToken(),
                                      "Content-Type: application/json"};
  if (!tenantid.empty()) buildGatewayHeaders(url, method, parameters, headers);
  return headers;
}

}  // namespace corvane
