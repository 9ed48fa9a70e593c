#include "text/log_text.h"
#include "transport/log_source.h"
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
  request.gatewayPagesAreFailures = true;
  // An answer trickled just fast enough to pass the stall rule still ends.
  request.answerSeconds = kJsonAnswerSeconds;
  return request;
}

std::optional<std::vector<std::string>> CorvaneMultiUpload::documentStoreHeaders(
    const std::string& url, const std::string& method, const QueryParameters& parameters) {
  std::string why;
  std::string token = fetchAccessToken(why);
  if (token.empty()) {
    UPLOAD_LOG(ERROR) << "no storage token: " << escapeControls(why);
    return std::nullopt;
  }
  std::vector<std::string> headers = {"Authorization:Bearer " + token,
                                      "Content-Type: application/json"};
  if (!tenantid.empty()) buildGatewayHeaders(url, method, parameters, headers);
  return headers;
}

bool CorvaneMultiUpload::fileChanged(const ReadOnlyFile& file) const {
  // The open file's own state, and whether the path still names that file.
  std::optional<FileIdentity> now = file.currentIdentity();
  std::optional<FileIdentity> named = identityOf(localfile);
  if (now == file.openedIdentity() && named == file.openedIdentity()) return false;
  UPLOAD_LOG(ERROR) << "local file " << escapeControls(localfile) << " changed during the upload";
  return true;
}

}  // namespace corvane
