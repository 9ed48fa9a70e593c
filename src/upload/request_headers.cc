#include "text/log_text.h"
#include "transport/log_source.h"
#include "upload/corvane_multi_upload.h"

namespace corvane {

bool CorvaneMultiUpload::buildGatewayHeaders(const std::string& url, const std::string& method,
                                             const QueryParameters& parameters,
                                             std::vector<std::string>& headerLines) {
  GatewayCredentials credentials{appkey, appsecret, projectid, tenantid};
  const int64_t correction = context_.loop.controls().clock.correctionMilliseconds();
  for (std::string& line :
       signedGatewayHeaderLines(credentials, url, method, parameters, correction)) {
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

void CorvaneMultiUpload::signEachAttempt(HttpRequest& request,
                                         const QueryParameters& parameters) {
  request.attemptHeaderLines = [this, url = request.url, method = request.method, parameters] {
    std::vector<std::string> lines;
    buildGatewayHeaders(url, method, parameters, lines);
    return lines;
  };
}

bool CorvaneMultiUpload::addDocumentStoreHeaders(HttpRequest& request,
                                                 const QueryParameters& parameters) {
  std::string why;
  std::string token = fetchAccessToken(why);
  if (token.empty()) {
    UPLOAD_LOG(ERROR) << "no storage token: " << escapeControls(why);
    return false;
  }
  request.headerLines = {"Authorization:Bearer " + token, "Content-Type: application/json"};
  if (!tenantid.empty()) signEachAttempt(request, parameters);
  return true;
}

HttpResponse CorvaneMultiUpload::performDocumentStore(HttpRequest& request) {
  HttpResponse response = context_.loop.perform(request);
  if (response.result != CURLE_OK || response.status != 401) return response;
  // The refusal stands when no token can be had.
  if (!renewRefusedToken(request)) return response;
  return context_.loop.perform(request);
}

void CorvaneMultiUpload::startDocumentStore(HttpRequest request, TransferLoop::Done done) {
  context_.loop.start(request, [this, request, done = std::move(done)](HttpResponse response) mutable {
    if (response.result == CURLE_OK && response.status == 401 && renewRefusedToken(request)) {
      return context_.loop.start(request, std::move(done));
    }
    done(std::move(response));
  });
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
