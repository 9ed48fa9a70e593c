#include <algorithm>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "text/log_text.h"
#include "transport/log_source.h"
#include "upload/corvane_multi_upload.h"
#include "upload/response_judging.h"

namespace corvane {
namespace {

// What the upload buffers of the parts in flight take together, and the
// smallest share one part gets.
constexpr long kPartsInFlightBufferBudget = 2 * 512 * 1024;
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

std::optional<HttpRequest> CorvaneMultiUpload::documentStorePost(const std::string& url,
                                                                 std::string body) {
  HttpRequest request = newRequest("POST", url);
  if (!addDocumentStoreHeaders(request, {})) return std::nullopt;
  request.followLocation = true;
  request.defaultHttps = true;
  request.postFields = std::move(body);
  return request;
}

bool CorvaneMultiUpload::createUploadTask(std::string& uploadId, const ReadOnlyFile& file) {
  auto request = taskRequest(file);
  if (!request) return false;
  return judgeTask(performDocumentStore(*request), uploadId);
}

std::optional<HttpRequest> CorvaneMultiUpload::taskRequest(const ReadOnlyFile& file) {
  reportPhase(context_.progress.get(), "task");
  return documentStorePost(taskurl, taskBody(targetname, projectid, file.size()));
}

bool CorvaneMultiUpload::judgeTask(const HttpResponse& response, std::string& uploadId) {
  if (response.result != CURLE_OK) return false;

  rapidjson::Document document;
  if (!parseObject(dumpResponse("createUploadTask", response), document)) return false;
  if (isServiceError(document, "createUploadTask", errorMessage)) return false;
  const rapidjson::Value* data = objectMember(document, "data");
  // The id goes back to the service as it came, in later requests: one with
  // a control character is none.
  auto id = data ? stringMember(*data, "id") : std::nullopt;
  if (!id || hasControlCharacter(*id)) return false;
  uploadId = *id;
  return true;
}

std::optional<HttpRequest> CorvaneMultiUpload::partUrlRequest(const std::string& uploadId,
                                                              int32_t partNum) {
  return documentStorePost(parturl, partUrlBody(uploadId, partNum));
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
  HttpRequest request;
  request.method = "PUT";
  request.url = url;
  request.stallSeconds = stallseconds;
  request.followLocation = true;
  request.defaultHttps = true;
  request.upload = &part;
  // The storage's answer is kept (bounded like every answer) and shown on
  // standard output once the part arrived; an endless one is a failed
  // attempt, retried.
  request.rawBody = true;
  request.captureHeaders = false;
  request.oversizeIsFinal = false;
  // A status of 400 or more means the storage did not keep the part: that
  // attempt failed and is retried from the part's first byte. A refused URL
  // (401, 403) has most likely expired: the part asks for a new one.
  request.failOnHttpError = true;
  request.endOnRefusal = true;
  // The URL was signed a moment ago: the part goes out at once, without
  // waiting for "100 Continue".
  request.expectContinue = false;
  // Side by side, the upload buffers share a fixed budget, so that memory
  // stays flat whatever their number, each as large as the budget allows
  // (large blocks cost less CPU).
  if (parallelparts > 1) {
    request.uploadBufferBytes = std::clamp(kPartsInFlightBufferBudget / parallelparts,
                                           kSharedUploadBufferFloor, kDefaultUploadBufferBytes);
  }
  return request;
}

bool CorvaneMultiUpload::mergeUploadTask(const std::string& uploadId) {
  bool unsure = false;
  return mergeTask(uploadId, unsure);
}

bool CorvaneMultiUpload::mergeTask(const std::string& uploadId, bool& unsure) {
  auto request = mergeRequest(uploadId);
  if (!request) return false;
  return judgeMerge(performDocumentStore(*request), unsure);
}

std::optional<HttpRequest> CorvaneMultiUpload::mergeRequest(const std::string& uploadId) {
  reportPhase(context_.progress.get(), "merge");
  auto request = documentStorePost(mergeurl, mergeBody(uploadId, projectid));
  if (!request) return std::nullopt;
  // The merge creates the file item: once sent, its answer is awaited, up to
  // its own limit and through a stop.
  request->createsItem = true;
  request->answerSeconds = kCreateAnswerSeconds;
  return request;
}

bool CorvaneMultiUpload::judgeMerge(const HttpResponse& response, bool& unsure) {
  bool merged = response.result == CURLE_OK &&
                acceptFileItem("mergeUploadTask", dumpResponse("mergeUploadTask", response));
  // A merge sent again after one that got no answer may be refused ("task
  // not found") because the first one did its work.
  unsure = !merged && response.unansweredAttempts > 0;
  if (unsure) {
    UPLOAD_LOG(ERROR) << context_.logLabel
                      << "the first merge attempt got no answer; the service may have stored the file";
  }
  return merged;
}

}  // namespace corvane
