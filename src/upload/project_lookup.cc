#include "upload/config_text.h"
#include "upload/corvane_multi_upload.h"
#include "upload/response_judging.h"

namespace corvane {

std::string CorvaneMultiUpload::getProjectId() {
  if (!projectid.empty()) return projectid;
  if (orgid.empty() || accounturl.empty() || gatewaytokenurl.empty() || projecturl.empty()) {
    return {};
  }
  reportPhase(context_.progress.get(), "lookup");
  HttpRequest request = newRequest("GET", completeUrl(accounturl, projecturl, "{org-id}", orgid));
  request.timeoutSeconds = 20;
  request.defaultHttps = true;
  std::vector<std::string> headers = {"Authorization:bearer " + getGatewayToken(),
                                      "Content-Type: application/json"};
  request.headerLines = std::move(headers);
  if (!tenantid.empty()) signEachAttempt(request, {{"includeExtendData", "false"}});
  HttpResponse response = context_.loop.perform(request);
  if (response.result != CURLE_OK) return {};

  rapidjson::Document document;
  if (!parseObject(dumpResponse("getProjectId", response), document)) return {};
  const rapidjson::Value* project = objectMember(document, "project");
  if (!project) return {};
  auto id = project->FindMember("id");
  if (id == project->MemberEnd() || !id->value.IsUint64()) return {};
  return std::to_string(id->value.GetUint64());
}

}  // namespace corvane
