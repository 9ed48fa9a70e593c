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
      if (auto id = localStringMember(*data, "fileItemId", "file item id")) fileItemId = *id;
      if (auto name = localStringMember(*data, "fileItemName", "file item name")) {
        fileItemName = *name;
      }
    }
  }
  UPLOAD_LOG(INFO) << context_.logLabel << "fileItemId:" << escapeControls(fileItemId);
  UPLOAD_LOG(INFO) << context_.logLabel << "fileItemName:" << escapeControls(fileItemName);
  return accepted;
}

bool CorvaneMultiUpload::uploadEntireData(const ReadOnlyFile& file) {
  BodySource body(file, 0, file.size());
  auto request = directUploadRequest(file, body);
  if (!request) return false;
  return judgeDirectUpload(performDocumentStore(*request), file);
}

std::optional<HttpRequest> CorvaneMultiUpload::directUploadRequest(const ReadOnlyFile& file,
                                                                   BodySource& body) {
  // The length announced is the length of the open file, the one sent.
  uint64_t size = file.size();
  UPLOAD_LOG(INFO) << context_.logLabel << "upload file size: " << size;
  reportPhase(context_.progress.get(), "direct");
  file.adviseSequential();

  std::string length = std::to_string(size);
  HttpRequest request =
      newRequest("POST", directurl + "?name=" + percentEncode(targetname) +
                             "&parentId=" + percentEncode(projectid) + "&length=" + length);
  if (!addDocumentStoreHeaders(
          request, {{"name", targetname}, {"parentId", projectid}, {"length", length}})) {
    return std::nullopt;
  }
  request.followLocation = true;
  request.defaultHttps = true;
  request.upload = &body;
  // The upload creates the file item: once its body went out whole, its
  // answer is awaited, up to its own limit and through a stop.
  request.createsItem = true;
  request.answerSeconds = kCreateAnswerSeconds;
  return request;
}

bool CorvaneMultiUpload::judgeDirectUpload(const HttpResponse& response,
                                           const ReadOnlyFile& file) {
  if (response.result != CURLE_OK) return false;
  std::string answer = dumpResponse("uploadEntireData", response);
  // The item holds what was read: bytes of a file that changed meanwhile
  // are no copy of it, whatever the service answers.
  if (fileChanged(file)) return false;
  return acceptFileItem("uploadEntireData", answer);
}

}  // namespace corvane
