#include <cstdio>
#include <iostream>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/env.h"
#include "platform/read_only_file.h"
#include "transport/log_source.h"
#include "upload/corvane_multi_upload.h"
#include "upload/part_plan.h"
#include "upload/response_judging.h"
#include "upload/result_file.h"

namespace corvane {
namespace {

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

// One line per part, so a long upload can be followed in the log.
void logPartProgress(uint64_t number, uint64_t count, uint64_t bytes, uint64_t bytesSoFar,
                     int64_t elapsedTicks, bool sent) {
  double seconds = static_cast<double>(elapsedTicks) / kTicksPerSecond;
  double rate = seconds > 0 ? static_cast<double>(bytesSoFar) / 1048576.0 / seconds : 0.0;
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", rate);
  UPLOAD_LOG(INFO) << "part " << number << "/" << count << (sent ? " sent: " : " failed: ") << bytes
                   << " bytes; " << text << " MiB/s so far";
}

}  // namespace

HttpRequest CorvaneMultiUpload::documentStorePost(const std::string& url, std::string body) {
  HttpRequest request;
  request.method = "POST";
  request.url = url;
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
  if (isServiceError(document, errorMessage)) return false;
  const rapidjson::Value* data = objectMember(document, "data");
  auto id = data ? stringMember(*data, "id") : std::nullopt;
  if (!id) return false;
  uploadId = *id;
  return true;
}

bool CorvaneMultiUpload::getPartUrl(const std::string& uploadId, int32_t partNum,
                                    std::string& url) {
  HttpRequest request = documentStorePost(parturl, partUrlBody(uploadId, partNum));
  request.captureHeaders = false;
  HttpResponse response = performRequest(request);
  if (response.result != CURLE_OK) return false;

  rapidjson::Document document;
  if (!parseObject(response.body, document)) return false;
  if (isServiceError(document, errorMessage)) return false;
  auto signedUrl = stringMember(document, "data");
  if (!signedUrl) return false;
  url = *signedUrl;
  return true;
}

bool CorvaneMultiUpload::uploadSinglePart(const std::string& uploadId, int32_t partNum,
                                          BodySource& part) {
  std::string url;
  if (!getPartUrl(uploadId, partNum, url)) return false;
  HttpRequest request;
  request.method = "PUT";
  request.url = url;
  request.followLocation = true;
  request.defaultHttps = true;
  request.upload = &part;
  request.captureBody = false;
  request.captureHeaders = false;
  // A status of 400 or more means the storage did not keep the part: that
  // attempt failed and is retried from the part's first byte.
  request.failOnHttpError = true;
  bool sent = performRequest(request).result == CURLE_OK;
  std::cout << '.' << std::flush;
  return sent;
}

bool CorvaneMultiUpload::uploadPartData(const std::string& uploadId) {
  ReadOnlyFile file(localfile);
  uint64_t fileSize = file.size();
  PartPlan plan(fileSize, static_cast<uint64_t>(partSize));
  UPLOAD_LOG(INFO) << "upload file size: " << fileSize << " ; part size: " << partSize
                   << " ; part count: " << plan.count();
  file.adviseSequential();
  bool allSent = true;
  Env& env = Env::current();
  const int64_t start = env.nowTicks();
  uint64_t bytesSoFar = 0;
  for (uint64_t index = 0; index < plan.count(); ++index) {
    BodySource part(file, plan.offset(index), plan.size(index));
    bool sent = uploadSinglePart(uploadId, static_cast<int32_t>(index + 1), part);
    allSent = allSent && sent;
    bytesSoFar += part.length();
    logPartProgress(index + 1, plan.count(), part.length(), bytesSoFar, env.nowTicks() - start, sent);
  }
  std::cout << '\n' << std::flush;
  return allSent;
}

bool CorvaneMultiUpload::mergeUploadTask(const std::string& uploadId) {
  HttpRequest request = documentStorePost(mergeurl, mergeBody(uploadId, projectid));
  HttpResponse response = performRequest(request);
  if (response.result != CURLE_OK) return false;
  return acceptFileItem(dumpResponse("mergeUploadTask", response));
}

}  // namespace corvane
