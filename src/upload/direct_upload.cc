#include "platform/env.h"
#include "platform/read_only_file.h"
#include "text/log_text.h"
#include "transport/log_source.h"
#include "transport/url_text.h"
#include "upload/corvane_multi_upload.h"
#include "upload/response_judging.h"

namespace corvane {

bool CorvaneMultiUpload::acceptFileItem(const char* operation, const std::string& body) {
  rapidjson::Document document;
  bool accepted = false;
  if (parseObject(body, document) && !isServiceError(document, operation, errorMessage)) {
    const rapidjson::Value* data = objectMember(document, "data");
    accepted = data && hasSuccessStatus(*data);
    if (accepted) {
      if (auto id = localStringMember(*data, "fileItemId")) fileItemId = *id;
      if (auto name = localStringMember(*data, "fileItemName")) fileItemName = *name;
    }
  }
  UPLOAD_LOG(INFO) << "fileItemId:" << fileItemId;
  UPLOAD_LOG(INFO) << "fileItemName:" << fileItemName;
  return accepted;
}

bool CorvaneMultiUpload::uploadEntireData() {
  // The file is opened once and measured from the open file, so the length
  // announced is the length sent. A file that cannot be opened is never
  // uploaded as an empty item.
  ReadOnlyFile file(localfile);
  uint64_t size = file.size();
  UPLOAD_LOG(INFO) << "upload file size: " << size;
  if (!file.isOpen()) {
    UPLOAD_LOG(ERROR) << "local file " << escapeControls(localfile)
                      << " can not be read: " << Env::current().fileReadProblem(localfile);
    return false;
  }
  file.adviseSequential();

  std::string length = std::to_string(size);
  HttpRequest request =
      newRequest("POST", directurl + "?name=" + percentEncode(targetname) +
                             "&parentId=" + percentEncode(projectid) + "&length=" + length);
  request.headerLines = documentStoreHeaders(
      request.url, request.method,
      {{"name", targetname}, {"parentId", projectid}, {"length", length}});
  request.followLocation = true;
  request.defaultHttps = true;
  BodySource body(file, 0, size);
  request.upload = &body;
  HttpResponse response = performRequest(request);
  if (response.result != CURLE_OK) return false;
  return acceptFileItem("uploadEntireData", dumpResponse("uploadEntireData", response));
}

}  // namespace corvane
