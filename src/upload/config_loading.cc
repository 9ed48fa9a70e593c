#include <rapidjson/document.h>

#include <array>
#include <utility>

#include "platform/env.h"
#include "platform/file_replace.h"
#include "platform/same_file.h"
#include "text/local_codepage.h"
#include "text/log_text.h"
#include "transport/log_source.h"
#include "upload/config_text.h"
#include "upload/corvane_multi_upload.h"
#include "upload/file_list.h"
#include "upload/proxy_setting.h"

namespace corvane {
namespace {

constexpr char kProjectPlaceholder[] = "{project-id}";
constexpr int64_t kMebibyte = 1048576;
constexpr int kMaxParallelParts = 16;
constexpr int kMaxParallelFiles = 16;
constexpr int kMinStallSeconds = 5;
constexpr int kMaxStallSeconds = 3600;
constexpr int kMaxKbps = 10485760;
// The least share of a cap a part in flight may get: twice the rate below
// which a transfer counts as stalled, so that a cap alone never cuts one.
constexpr int kMinKbpsPerPart = 2;

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

// A value that goes into a header line must not be able to end that line or
// add another.
bool fitsHeaderLine(CorvaneMultiUpload& uploader, const std::string& value,
                    const char* invalidMessage) {
  return !hasControlCharacter(value) || fail(uploader, invalidMessage);
}

bool readIdentity(const rapidjson::Document& document, CorvaneMultiUpload& uploader) {
  using U = CorvaneMultiUpload;
  const RequiredKey credentials[] = {{"appsecret", &U::appsecret, "appsecret is empty!"},
                                     {"appkey", &U::appkey, "appkey is empty!"}};
  if (!readRequired(document, uploader, credentials) ||
      !fitsHeaderLine(uploader, uploader.appkey, "appkey is invalid!")) {
    return false;
  }
  getConfigString(document, "projectid", uploader.projectid);
  getConfigString(document, "orgid", uploader.orgid);
  if (!getConfigString(document, "tenantid", uploader.tenantid)) uploader.tenantid.clear();
  if (!fitsHeaderLine(uploader, uploader.projectid, "projectid is invalid!") ||
      !fitsHeaderLine(uploader, uploader.orgid, "orgid is invalid!") ||
      !fitsHeaderLine(uploader, uploader.tenantid, "tenantid is invalid!")) {
    return false;
  }
  if (!uploader.tenantid.empty() && uploader.orgid.empty()) return fail(uploader, "orgid is empty!");
  if (uploader.tenantid.empty() && uploader.projectid.empty()) {
    return fail(uploader, "projectid is empty!");
  }
  return true;
}

// The optional code page for paths and service texts: the platform's own by
// default (GBK on Windows, UTF-8 elsewhere), or named: "GBK" or "UTF-8".
bool readCodepage(const rapidjson::Document& document, CorvaneMultiUpload& uploader) {
  std::string codepage;
  if (!getConfigString(document, "codepage", codepage)) {
    setLocalCodepage(platformCodepage());
  } else if (codepage == "GBK") {
    setLocalCodepage(LocalCodepage::kGbk);
  } else if (codepage == "UTF-8") {
    setLocalCodepage(LocalCodepage::kUtf8);
  } else {
    return fail(uploader, "codepage is invalid!");
  }
  return true;
}

// Replaces the path `path`, as the key `key` gives it, by its form in the
// local code page; false, with the cause logged, when it has none.
bool convertPath(const char* key, std::string& path) {
  std::string local = utf8ToLocal(path);
  if (!local.empty()) {
    path = local;
    return true;
  }
  if (!isValidUtf8(path)) {
    UPLOAD_LOG(ERROR) << key << " " << escapeControls(path) << ": not UTF-8";
  } else {
    UPLOAD_LOG(ERROR) << key << " " << escapeControls(path) << ": not representable in code page "
                      << localCodepageName() << "; set \"codepage\": \"UTF-8\"";
  }
  path.clear();
  return false;
}

// False, with `invalid`, when `path` (the value of `key`) names the same file
// as one of the keys read before it: a progress file, journal or result
// written over the local file would destroy it.
// The keys that name a file the run reads or writes, in the table's order,
// with their values.
using NamedPath = std::pair<const char*, const std::string*>;
std::array<NamedPath, 4> pathKeys(CorvaneMultiUpload& uploader) {
  const RunSettings& settings = uploader.context().settings;
  return {{{"localfile", &uploader.localfile},
           {"output", &uploader.output},
           {"resumefile", &settings.resumefile},
           {"progressfile", &settings.progressfile}}};
}

bool distinctFromEarlier(CorvaneMultiUpload& uploader, const char* key, const std::string& path,
                         const char* invalid) {
  auto same = [&](const char* name, const std::string& value) {
    if (!nameSameFile(path, value)) return false;
    UPLOAD_LOG(ERROR) << key << " and " << name << " name the same file: " << escapeControls(path);
    return true;
  };
  // Every listed file counts as a local file.
  for (const FileEntry& entry : uploader.context().settings.files) {
    if (same("localfile", entry.localfile)) return fail(uploader, invalid);
  }
  for (const auto& [name, value] : pathKeys(uploader)) {
    if (std::string(name) == key) break;
    if (same(name, *value)) return fail(uploader, invalid);
  }
  return true;
}

// Whether the result file can be written where `output` names it, known
// before anything is uploaded (an upload whose result cannot be written would
// only be uploaded again by the caller); and an earlier run's result is
// removed at once, before any later key can fail loading, so that a run that
// does not finish leaves no result at all, never a stale one. Only the name
// goes: another name of the old file keeps its bytes. The reason is logged
// and false returned when either cannot be done.
bool prepareOutput(const CorvaneMultiUpload& uploader) {
  std::string reason;
  if (canReplaceFile(uploader.output, reason)) return true;
  UPLOAD_LOG(ERROR) << "result file " << escapeControls(uploader.output)
                    << " can not be created: " << reason;
  return false;
}

// A list of files under `files`, in place of `localfile` and `targetname`:
// checked like them, but a listed file that cannot be read fails alone, later.
bool readListedFiles(const rapidjson::Document& document, CorvaneMultiUpload& uploader) {
  using U = CorvaneMultiUpload;
  std::vector<FileEntry>& entries = uploader.context().settings.files;
  const RequiredKey output[] = {{"output", &U::output, "output is empty!"}};
  std::string problem;
  if (!readFileList(document, entries, problem)) {
    UPLOAD_LOG(ERROR) << "files: " << problem;
    return fail(uploader, "files is invalid!");
  }
  if (!readRequired(document, uploader, output) || !readCodepage(document, uploader)) return false;
  if (!convertFileList(entries, problem)) {
    UPLOAD_LOG(ERROR) << "files: " << problem;
    return fail(uploader, "files is invalid!");
  }
  if (!convertPath("output", uploader.output)) return fail(uploader, "output can not write!");
  if (!distinctFromEarlier(uploader, "output", uploader.output, "output is invalid!")) return false;
  return prepareOutput(uploader) || fail(uploader, "output can not write!");
}

bool readFiles(const rapidjson::Document& document, CorvaneMultiUpload& uploader) {
  using U = CorvaneMultiUpload;
  if (document.HasMember("files")) return readListedFiles(document, uploader);
  const RequiredKey files[] = {{"targetname", &U::targetname, "targetname is empty!"},
                               {"localfile", &U::localfile, "localfile is empty!"},
                               {"output", &U::output, "output is empty!"}};
  if (!readRequired(document, uploader, files) || !readCodepage(document, uploader)) return false;
  const bool localConverted = convertPath("localfile", uploader.localfile);
  const bool outputConverted = convertPath("output", uploader.output);
  if (outputConverted &&
      !distinctFromEarlier(uploader, "output", uploader.output, "output is invalid!")) {
    return false;
  }
  const bool outputReady = outputConverted && prepareOutput(uploader);
  if (!localConverted) return fail(uploader, "local file can not access!");
  // A directory or an unreadable file passes a bare existence test but can
  // never be uploaded.
  std::string problem = Env::current().fileReadProblem(uploader.localfile);
  if (!problem.empty()) {
    UPLOAD_LOG(ERROR) << "local file " << escapeControls(uploader.localfile) << ": " << problem;
    return fail(uploader, "local file can not access!");
  }
  return outputReady || fail(uploader, "output can not write!");
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

// An optional integer key within [low, high]; `field` keeps its default when
// the key is absent.
bool readBoundedInt(const rapidjson::Document& document, CorvaneMultiUpload& uploader,
                    const char* key, int low, int high, int& field, const char* invalid) {
  auto member = document.FindMember(key);
  if (member == document.MemberEnd()) return true;
  if (!member->value.IsInt() || member->value.GetInt() < low || member->value.GetInt() > high) {
    return fail(uploader, invalid);
  }
  field = member->value.GetInt();
  return true;
}

// The cap on the rate of all transfers together, in KiB per second.
bool readMaxKbps(const rapidjson::Document& document, CorvaneMultiUpload& uploader) {
  RunContext& context = uploader.context();
  int& maxkbps = context.settings.maxkbps;
  if (!readBoundedInt(document, uploader, "maxkbps", 0, kMaxKbps, maxkbps, "max kbps is invalid!")) {
    return false;
  }
  // A list has up to `parallelfiles` files, each with its parts, in flight.
  const int files = context.settings.files.empty() ? 1 : context.settings.parallelfiles;
  if (maxkbps > 0 && maxkbps < kMinKbpsPerPart * uploader.parallelparts * files) {
    return fail(uploader, "max kbps is invalid!");
  }
  context.loop.controls().sendCapBytesPerSecond = static_cast<int64_t>(maxkbps) * 1024;
  return true;
}

bool readTransferLimits(const rapidjson::Document& document, CorvaneMultiUpload& uploader) {
  RunSettings& settings = uploader.context().settings;
  return readBoundedInt(document, uploader, "parallelparts", 1, kMaxParallelParts,
                        uploader.parallelparts, "parallel parts is invalid!") &&
         // Read only for a list: without one the key means nothing.
         (settings.files.empty() ||
          readBoundedInt(document, uploader, "parallelfiles", 1, kMaxParallelFiles,
                         settings.parallelfiles, "parallel files is invalid!")) &&
         readBoundedInt(document, uploader, "stallseconds", kMinStallSeconds, kMaxStallSeconds,
                        uploader.stallseconds, "stall seconds is invalid!") &&
         readMaxKbps(document, uploader);
}

// An optional path, converted like `output`; false with `invalid` when the
// key names one that has no form in the local code page.
bool readLocalPath(const rapidjson::Document& document, CorvaneMultiUpload& uploader,
                   const char* key, std::string& path, const char* invalid) {
  if (!getConfigString(document, key, path)) return true;
  return convertPath(key, path) || fail(uploader, invalid);
}

// The journal of a multipart upload, when one is named: it can be created
// there, and no other run holds it (it stays locked for the whole run).
bool openResumeJournal(const rapidjson::Document& document, CorvaneMultiUpload& uploader) {
  RunContext& context = uploader.context();
  std::string& path = context.settings.resumefile;
  if (!readLocalPath(document, uploader, "resumefile", path, "resumefile can not write!") ||
      !distinctFromEarlier(uploader, "resumefile", path, "resumefile is invalid!")) {
    return false;
  }
  if (path.empty()) return true;
  LockedFile::OpenStatus status;
  std::string reason;
  context.journal = ResumeJournal::open(path, status, reason);
  if (context.journal) return true;
  if (status == LockedFile::OpenStatus::kInUse) {
    UPLOAD_LOG(ERROR) << "resume journal " << escapeControls(path) << " is held by another run";
    return fail(uploader, "resumefile is in use!");
  }
  UPLOAD_LOG(ERROR) << "resume journal " << escapeControls(path) << " can not be created: " << reason;
  return fail(uploader, "resumefile can not write!");
}

// The progress report, when one is named: probed like the result file, then
// written for the first time.
bool openProgressReport(const rapidjson::Document& document, CorvaneMultiUpload& uploader) {
  RunContext& context = uploader.context();
  std::string& path = context.settings.progressfile;
  if (!readLocalPath(document, uploader, "progressfile", path, "progressfile can not write!") ||
      !distinctFromEarlier(uploader, "progressfile", path, "progressfile is invalid!")) {
    return false;
  }
  if (path.empty()) return true;
  std::string reason;
  if (!canReplaceFile(path, reason)) {
    UPLOAD_LOG(ERROR) << "progress file " << escapeControls(path) << " can not be created: "
                      << reason;
    return fail(uploader, "progressfile can not write!");
  }
  context.progress = std::make_unique<ProgressReport>(path, context.loop);
  context.loop.controls().observer = context.progress.get();
  // Every run begins with a token: the storage token, or the gateway's.
  context.progress->enterPhase("token");
  return true;
}

// The caller's stop file, when one is named: the run is stopped, as by a
// signal, as soon as a file exists there. It may not be a file the run
// reads or writes itself: that one exists, and every run would stop at once.
bool readStopFile(const rapidjson::Document& document, CorvaneMultiUpload& uploader) {
  RunContext& context = uploader.context();
  std::string& path = context.settings.stopfile;
  if (!readLocalPath(document, uploader, "stopfile", path, "stopfile is invalid!")) return false;
  for (const auto& [key, other] : pathKeys(uploader)) {
    if (path.empty() || !nameSameFile(path, *other)) continue;
    UPLOAD_LOG(ERROR) << "stopfile " << escapeControls(path) << " is also the " << key;
    return fail(uploader, "stopfile is invalid!");
  }
  context.loop.controls().stopFile = path;
  return true;
}

// Reads and parses the configuration file; false, with the cause logged, when
// it cannot be read or is not one JSON object.
bool parseConfig(const std::string& path, rapidjson::Document& document) {
  std::string reason;
  std::string text = readTextFile(path, &reason);
  std::string problem;
  if (!reason.empty()) {
    UPLOAD_LOG(ERROR) << "configuration file " << escapeControls(path)
                      << " can not be read: " << reason;
    return false;
  }
  // Said first, and loading goes on as before: a file in another encoding
  // fails later with a message that would not name the cause.
  const std::string encoding = encodingProblem(text);
  if (!encoding.empty()) UPLOAD_LOG(ERROR) << encoding;
  if (!parseConfigText(text, document, problem)) {
    UPLOAD_LOG(ERROR) << "configuration is not valid JSON: " << problem;
  } else if (!document.IsObject()) {
    UPLOAD_LOG(ERROR) << "configuration is not a JSON object";
  } else {
    return true;
  }
  return false;
}

}  // namespace

bool CorvaneMultiUpload::loadConfig(const std::string& path) {
  if (path.empty()) return fail(*this, "file path is empty!");
  rapidjson::Document document;
  if (!parseConfig(path, document)) {
    UPLOAD_LOG(ERROR) << " load config error!";
    return false;
  }
  // A misspelt optional key would otherwise go unnoticed.
  for (const std::string& warning : unknownKeyWarnings(document)) UPLOAD_LOG(WARNING) << warning;
  if (!readUrls(document, *this) || !readIdentity(document, *this) ||
      !readFiles(document, *this) || !readPartSize(document, *this) ||
      !readTransferLimits(document, *this) || !readProxySetting(document, *this) ||
      !openResumeJournal(document, *this) || !openProgressReport(document, *this) ||
      !readStopFile(document, *this)) {
    return false;
  }
  projectid = getProjectId();
  // A stop while loading ends it: nothing is uploaded.
  if (context_.loop.controls().stop.raised()) return false;
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
