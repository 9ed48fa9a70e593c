#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transport/gateway_signing.h"
#include "transport/http_exchange.h"

namespace corvane {

// The uploader: every setting and every piece of run-time state of one
// upload. Operations report failure through their result (false or the empty
// text) and keep the reason, when one is known, in errorMessage.
class CorvaneMultiUpload {
 public:
  // Configuration (config_loading.cc).
  bool loadConfig(const std::string& path);
  void completeUrls();

  // Authentication (gateway_token.cc, project_lookup.cc, access_token.cc).
  std::string getGatewayToken();
  std::string getProjectId();
  std::string getCorvaneAccessToken();

  // Upload (upload_driver.cc, direct_upload.cc, multipart_upload.cc).
  bool run();
  bool uploadEntireData();
  bool uploadMultipart();
  bool createUploadTask(std::string& uploadId);
  bool getPartUrl(const std::string& uploadId, int32_t partNum, std::string& url);
  bool uploadSinglePart(const std::string& uploadId, int32_t partNum, BodySource& part);
  bool uploadPartData(const std::string& uploadId);
  bool mergeUploadTask(const std::string& uploadId);

  // The two halves of each part's exchanges, for the part sender: the
  // request that asks for a part's signed URL and the judgement of its
  // answer (false, and `url` untouched, when it brought none), and the PUT of
  // a part to that URL.
  HttpRequest partUrlRequest(const std::string& uploadId, int32_t partNum);
  bool judgePartUrl(const HttpResponse& response, std::string& url);
  HttpRequest partPutRequest(const std::string& url, BodySource& part) const;

  // Appends the signed gateway header lines for a request to `headerLines`.
  bool buildGatewayHeaders(const std::string& url, const std::string& method,
                           const QueryParameters& parameters, std::vector<std::string>& headerLines);

  std::string accessToken;
  int64_t accessTokenExpiry = 0;
  std::string accounturl;
  std::string gatewaytokenurl;
  std::string projecturl;
  std::string rooturl;
  std::string tokenurl;
  std::string orgid;
  std::string taskurl;
  std::string parturl;
  std::string mergeurl;
  std::string aborturl;
  std::string directurl;
  std::string projectid;
  std::string tenantid;
  std::string localfile;
  std::string targetname;
  std::string appkey;
  std::string appsecret;
  std::string fileItemId;
  std::string fileItemName;
  int64_t partSize = 0;
  std::string errorMessage;
  std::string output;
  // Parts in flight at once; 1 sends them one after another.
  int parallelparts = 1;
  // Seconds an attempt may move fewer than 1 KiB per second before it is cut.
  int stallseconds = 60;

 private:
  // The header lines of a document-store request: the bearer authorization,
  // the content type and, for a tenant, the signed gateway headers.
  std::vector<std::string> documentStoreHeaders(const std::string& url, const std::string& method,
                                                const QueryParameters& parameters);
  // Judges a response naming a new file item (direct upload and merge) and
  // logs the two file item lines.
  bool acceptFileItem(const char* operation, const std::string& body);
  // A signed-when-needed JSON POST to a document-store URL.
  HttpRequest documentStorePost(const std::string& url, std::string body);
  // A request with the limits every request of this upload carries.
  HttpRequest newRequest(const std::string& method, const std::string& url) const;
};

}  // namespace corvane
