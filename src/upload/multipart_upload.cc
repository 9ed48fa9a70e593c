#include <algorithm>
#include <iostream>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "text/log_text.h"
#include "upload/corvane_multi_upload.h"
#include "upload/response_judging.h"
#include "upload/result_file.h"

namespace corvane {
namespace {

// What the upload buffers of the parts in flight take together, and the
// smallest share one part gets.
constexpr long kPartsInFlightBufferBudget = 3 * 512 * 1024;
constexpr long kSharedUploadBufferFloor = 64 * 1024;

// Request bodies take their texts as C strings, so each ends at its first NUL.
using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

std::string taskBody(const std::string& name, const std::string& parentId, uint64_t length) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  writer.Key("name");
  writer.String(name.c_str());
  writer.Key("parentId");
  writer.String(parentId.c_str());
  writer.Key("parentPath");
  writer.String("/test/");
  writer.Key("length");
  writer.Uint64(length);
  writer.EndObject();
  return buffer.GetString();
}

std::string partUrlBody(const std::string& uploadId, int32_t partNum) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  writer.Key("id");
  writer.String(uploadId.c_str());
  writer.Key("partNum");
  writer.Int(partNum);
  writer.EndObject();
  return buffer.GetString();
}

std::string mergeBody(const std::string& uploadId, const std::string& parentId) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  writer.Key("id");
  writer.String(uploadId.c_str());
  writer.Key("parentId");
  writer.String(parentId.c_str());
  writer.EndObject();
  return buffer.GetString();
}

}  // namespace

HttpRequest CorvaneMultiUpload::documentStorePost(const std::string& url, std::string body) {
  HttpRequest request = newRequest("POST", url);
  request.headerLines = documentStoreHeaders(url, request.method, {});
  request.followLocation = true;
  request.defaultHttps = true;
  request.postFields = std::move(body);
  return request;
}

bool CorvaneMultiUpload::createUploadTask(std::string& uploadId) {
  uint64_t size = getFileSize(localfile);
  HttpRequest request = documentStorePost(taskurl, taskBody(targetname, projectid, size));
  HttpResponse response = performRequest(request);
  if (response.result != CURLE_OK) return false;

  rapidjson::Document document;
  if (!parseObject(dumpResponse("createUploadTask", response), document)) return false;
  if (isServiceError(document, "createUploadTask", errorMessage)) return false;
  const rapidjson::Value* data = objectMember(document, "data");
  auto id = data ? localStringMember(*data, "id") : std::nullopt;
  // The id travels in later requests: one with a control character is none.
  if (!id || hasControlCharacter(*id)) return false;
  uploadId = *id;
  return true;
}

HttpRequest CorvaneMultiUpload::partUrlRequest(const std::string& uploadId, int32_t partNum) {
  HttpRequest request = documentStorePost(parturl, partUrlBody(uploadId, partNum));
  request.captureHeaders = false;
  return request;
}

bool CorvaneMultiUpload::judgePartUrl(const HttpResponse& response, std::string& url) {
  if (response.result != CURLE_OK) return false;
  rapidjson::Document document;
  if (!parseObject(response.body, document)) return false;
  if (isServiceError(document, "getPartUrl", errorMessage)) return false;
  auto signedUrl = stringMember(document, "data");
  // The URL is requested as it came: a control character could split it.
  if (!signedUrl || hasControlCharacter(*signedUrl)) return false;
  url = *signedUrl;
  return true;
}

HttpRequest CorvaneMultiUpload::partPutRequest(const std::string& url, BodySource& part) const {
  HttpRequest request = newRequest("PUT", url);
  request.followLocation = true;
  request.defaultHttps = true;
  request.upload = &part;
  request.captureBody = false;
  request.captureHeaders = false;
  // A status of 400 or more means the storage did not keep the part: that
  // attempt failed and is retried from the part's first byte.
  request.failOnHttpError = true;
  // Parts in flight side by side go out at once; a lone part keeps libcurl's
  // own handling of "Expect: 100-continue". Side by side their upload
  // buffers share a fixed budget, so that memory stays flat whatever their
  // number, each as large as the budget allows (large blocks cost less CPU).
  request.expectContinue = parallelparts <= 1;
  if (parallelparts > 1) {
    request.uploadBufferBytes = std::clamp(kPartsInFlightBufferBudget / parallelparts,
                                           kSharedUploadBufferFloor, kDefaultUploadBufferBytes);
  }
  return request;
}

bool CorvaneMultiUpload::getPartUrl(const std::string& uploadId, int32_t partNum,
                                    std::string& url) {
  return judgePartUrl(performRequest(partUrlRequest(uploadId, partNum)), url);
}

bool CorvaneMultiUpload::uploadSinglePart(const std::string& uploadId, int32_t partNum,
                                          BodySource& part) {
  std::string url;
  if (!getPartUrl(uploadId, partNum, url)) return false;
  bool sent = performRequest(partPutRequest(url, part)).result == CURLE_OK;
  std::cout << '.' << std::flush;
  return sent;
}

bool CorvaneMultiUpload::mergeUploadTask(const std::string& uploadId) {
  HttpRequest request = documentStorePost(mergeurl, mergeBody(uploadId, projectid));
  HttpResponse response = performRequest(request);
  if (response.result != CURLE_OK) return false;
  return acceptFileItem("mergeUploadTask", dumpResponse("mergeUploadTask", response));
}

}  // namespace corvane
