#include <rapidjson/document.h>

#include "platform/env.h"
#include "text/local_codepage.h"
#include "transport/log_source.h"
#include "upload/config_text.h"
#include "upload/corvane_multi_upload.h"

namespace corvane {
namespace {

constexpr char kProjectPlaceholder[] = "{project-id}";
constexpr int64_t kMebibyte = 1048576;

struct DefaultedKey {
  const char* key;
  std::string CorvaneMultiUpload::*field;
  const char* fallback;
};

struct RequiredKey {
  const char* key;
  std::string CorvaneMultiUpload::*field;
  const char* missing;
};

bool fail(CorvaneMultiUpload& uploader, const char* message) {
  uploader.errorMessage = message;
  return false;
}

void readDefaulted(const rapidjson::Document& document, CorvaneMultiUpload& uploader,
                   const DefaultedKey& key) {
  if (!getConfigString(document, key.key, uploader.*key.field)) uploader.*key.field = key.fallback;
}

// Reads each required key in order; false at the first one missing.
template <size_t N>
bool readRequired(const rapidjson::Document& document, CorvaneMultiUpload& uploader,
                  const RequiredKey (&keys)[N]) {
  for (const RequiredKey& key : keys) {
    if (!getConfigString(document, key.key, uploader.*key.field)) return fail(uploader, key.missing);
  }
  return true;
}

bool readUrls(const rapidjson::Document& document, CorvaneMultiUpload& uploader) {
  using U = CorvaneMultiUpload;
  if (!getConfigString(document, "accounturl", uploader.accounturl)) {
    uploader.errorMessage = "account url is empty!";
  }
  readDefaulted(document, uploader, {"gatewaytokenurl", &U::gatewaytokenurl, "/api/uaa/oauth/token"});
  readDefaulted(document, uploader,
                {"projecturl", &U::projecturl,
                 "/api/org-permission/v4/orgs/{org-id}/projects?includeExtendData=false"});
  if (!getConfigString(document, "rooturl", uploader.rooturl)) {
    return fail(uploader, "root url is empty!");
  }
  const DefaultedKey storeKeys[] = {
      {"tokenurl", &U::tokenurl, "/oauth2/token"},
      {"taskurl", &U::taskurl, "/mdox/v1/data/projects/{project-id}/file-items/multi-part-files"},
      {"parturl", &U::parturl,
       "/mdox/v1/data/projects/{project-id}/file-items/multi-part-files/signed-url"},
      {"mergeurl", &U::mergeurl,
       "/mdox/v1/data/projects/{project-id}/file-items/multi-part-files/merge"},
      {"aborturl", &U::aborturl,
       "/mdox/v1/data/projects/{project-id}/file-items/multi-part-files/abort"},
      {"directurl", &U::directurl, "/mdox/data/v1/projects/{project-id}/fileItems"},
  };
  for (const DefaultedKey& key : storeKeys) readDefaulted(document, uploader, key);
  return true;
}

bool readIdentity(const rapidjson::Document& document, CorvaneMultiUpload& uploader) {
  using U = CorvaneMultiUpload;
  const RequiredKey credentials[] = {{"appsecret", &U::appsecret, "appsecret is empty!"},
                                     {"appkey", &U::appkey, "appkey is empty!"}};
  if (!readRequired(document, uploader, credentials)) return false;
  getConfigString(document, "projectid", uploader.projectid);
  getConfigString(document, "orgid", uploader.orgid);
  if (!getConfigString(document, "tenantid", uploader.tenantid)) uploader.tenantid.clear();
  if (!uploader.tenantid.empty() && uploader.orgid.empty()) return fail(uploader, "orgid is empty!");
  if (uploader.tenantid.empty() && uploader.projectid.empty()) {
    return fail(uploader, "projectid is empty!");
  }
  return true;
}

// The optional code page for paths and service texts: GBK by default, or
// UTF-8 for deployments whose names are UTF-8 throughout.
bool readCodepage(const rapidjson::Document& document, CorvaneMultiUpload& uploader) {
  std::string codepage;
  if (!getConfigString(document, "codepage", codepage) || codepage == "GBK") {
    setLocalCodepage(LocalCodepage::kGbk);
  } else if (codepage == "UTF-8") {
    setLocalCodepage(LocalCodepage::kUtf8);
  } else {
    return fail(uploader, "codepage is invalid!");
  }
  return true;
}

bool readFiles(const rapidjson::Document& document, CorvaneMultiUpload& uploader) {
  using U = CorvaneMultiUpload;
  const RequiredKey files[] = {{"targetname", &U::targetname, "targetname is empty!"},
                               {"localfile", &U::localfile, "localfile is empty!"},
                               {"output", &U::output, "output is empty!"}};
  if (!readRequired(document, uploader, files) || !readCodepage(document, uploader)) return false;
  uploader.localfile = utf8ToLocal(uploader.localfile);
  uploader.output = utf8ToLocal(uploader.output);
  // A directory or an unreadable file passes a bare existence test but can
  // never be uploaded.
  if (!Env::current().isReadableRegularFile(uploader.localfile)) {
    return fail(uploader, "local file can not access!");
  }
  return true;
}

bool readPartSize(const rapidjson::Document& document, CorvaneMultiUpload& uploader) {
  auto member = document.FindMember("partsize");
  if (member == document.MemberEnd() || !member->value.IsInt()) {
    UPLOAD_LOG(ERROR) << "load partsize key error!";
    return fail(uploader, "no part size item!");
  }
  int value = member->value.GetInt();
  if (value <= 0) {
    UPLOAD_LOG(ERROR) << "load partsize key error!";
    return fail(uploader, "part size is less than zero!");
  }
  uploader.partSize = static_cast<int64_t>(value) * kMebibyte;
  return true;
}

}  // namespace

bool CorvaneMultiUpload::loadConfig(const std::string& path) {
  if (path.empty()) return fail(*this, "file path is empty!");
  rapidjson::Document document;
  document.Parse(readTextFile(path).c_str());
  if (document.HasParseError() || !document.IsObject()) {
    UPLOAD_LOG(ERROR) << " load config error!";
    return false;
  }
  if (!readUrls(document, *this) || !readIdentity(document, *this) ||
      !readFiles(document, *this) || !readPartSize(document, *this)) {
    return false;
  }
  projectid = getProjectId();
  if (projectid.empty()) {
    // The lookup keeps no reason of its own; say which step stopped loading.
    UPLOAD_LOG(ERROR) << "project lookup failed!";
    return false;
  }
  completeUrls();
  UPLOAD_LOG(INFO) << " load config success.";
  return true;
}

void CorvaneMultiUpload::completeUrls() {
  tokenurl = completeUrl(rooturl, tokenurl, "", "");
  for (std::string* url : {&taskurl, &parturl, &mergeurl, &aborturl, &directurl}) {
    *url = completeUrl(rooturl, *url, kProjectPlaceholder, projectid);
  }
}

}  // namespace corvane
