#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/read_only_file.h"
#include "transport/gateway_signing.h"
#include "transport/http_exchange.h"
#include "upload/part_sender.h"
#include "upload/run_context.h"

namespace corvane {

// How long an attempt waits for the whole answer once its body went out: a
// JSON request's, and one that creates a file item (the service may take
// that long to assemble a large file).
inline constexpr long kJsonAnswerSeconds = 60;
inline constexpr long kCreateAnswerSeconds = 600;

// The uploader: every setting and every piece of run-time state of one
// upload. Operations report failure through their result (false or the empty
// text) and keep the reason, when one is known, in errorMessage.
class CorvaneMultiUpload {
 public:
  // Every request goes through `context`'s transfer loop; loadConfig fills
  // its settings.
  explicit CorvaneMultiUpload(RunContext& context) : context_(context) {}
  CorvaneMultiUpload(const CorvaneMultiUpload&) = delete;
  CorvaneMultiUpload& operator=(const CorvaneMultiUpload&) = delete;

  // Configuration (config_loading.cc).
  bool loadConfig(const std::string& path);
  void completeUrls();

  // Authentication (gateway_token.cc, project_lookup.cc, access_token.cc).
  std::string getGatewayToken();
  std::string getProjectId();
  std::string getCorvaneAccessToken();

  // Upload (upload_driver.cc, direct_upload.cc, multipart_upload.cc,
  // part_upload.cc). The local file is opened once, by run(); every step
  // takes its size and bytes from that open file.
  bool run();
  bool uploadEntireData(const ReadOnlyFile& file);
  bool uploadMultipart(const ReadOnlyFile& file);
  bool createUploadTask(std::string& uploadId, const ReadOnlyFile& file);
  bool uploadPartData(const std::string& uploadId, const ReadOnlyFile& file);
  bool mergeUploadTask(const std::string& uploadId);

  // The two halves of each part's exchanges, for the part sender: the
  // request that asks for a part's signed URL (nothing when no storage
  // token could be had) and the judgement of its answer (false, and `url`
  // untouched, when it brought none), and the PUT of a part to that URL.
  std::optional<HttpRequest> partUrlRequest(const std::string& uploadId, int32_t partNum);
  bool judgePartUrl(const HttpResponse& response, std::string& url);
  HttpRequest partPutRequest(const std::string& url, BodySource& part) const;
  // After a document-store request was answered with HTTP 401: drops the
  // storage token it carried and asks for a new one, unless a token came
  // since (one renewal serves every request refused with the same token),
  // and puts the token now held into its authorization line. False when no
  // token could be had.
  bool renewRefusedToken(HttpRequest& request);
  // Starts a document-store request on the run's loop; `done` gets its
  // answer. One refused with HTTP 401 goes once more with a renewed token,
  // as performDocumentStore does while waiting.
  void startDocumentStore(HttpRequest request, TransferLoop::Done done);

  // The halves of the single-request steps, for a driver that runs the
  // steps of many files side by side in the transfer loop: the request
  // (nothing when no storage token could be had) and the judgement of its
  // answer. The direct upload's request streams `body`, which the caller
  // keeps until the request has ended.
  std::optional<HttpRequest> directUploadRequest(const ReadOnlyFile& file, BodySource& body);
  bool judgeDirectUpload(const HttpResponse& response, const ReadOnlyFile& file);
  std::optional<HttpRequest> taskRequest(const ReadOnlyFile& file);
  bool judgeTask(const HttpResponse& response, std::string& uploadId);
  std::optional<HttpRequest> mergeRequest(const std::string& uploadId);
  // `unsure`: a failed merge that may still have stored the file.
  bool judgeMerge(const HttpResponse& response, bool& unsure);
  // Starts uploadPartData's work for the parts `indices` (from 0) without
  // waiting for it; `done` runs once they have all ended (see startParts).
  std::unique_ptr<PartsInFlight> startPlannedParts(const std::string& uploadId,
                                                   const ReadOnlyFile& file,
                                                   const std::vector<uint64_t>& indices,
                                                   bool continuedTask, PartsDone done);

  RunContext& context() { return context_; }

  // The task and parts a matching journal lets this run skip (resume.cc).
  struct Continuation {
    std::string task;
    std::vector<uint64_t> missing;  // the parts still to send, from 0
  };
  std::optional<Continuation> continueFromJournal(const ReadOnlyFile& file);
  void startJournal(const ReadOnlyFile& file, const std::string& task);

  // Appends the signed gateway header lines for a request to `headerLines`,
  // timestamped with the service's time.
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
  // Gives a document-store request its header lines: the bearer
  // authorization, the content type and, for a tenant, the signed gateway
  // headers. False, with the reason logged, when no storage token could be
  // had: no request goes out without one.
  bool addDocumentStoreHeaders(HttpRequest& request, const QueryParameters& parameters);
  // Has every attempt of `request` signed afresh for the gateway.
  void signEachAttempt(HttpRequest& request, const QueryParameters& parameters);
  // Runs a document-store request; one answered with HTTP 401 goes again
  // once, with a renewed storage token.
  HttpResponse performDocumentStore(HttpRequest& request);
  // The storage token, or the empty text with the reason in `why`.
  std::string fetchAccessToken(std::string& why);
  // Judges a response naming a new file item (direct upload and merge) and
  // logs the two file item lines.
  bool acceptFileItem(const char* operation, const std::string& body);
  // A signed-when-needed JSON POST to a document-store URL; nothing when no
  // storage token could be had.
  std::optional<HttpRequest> documentStorePost(const std::string& url, std::string body);
  // A request to a JSON service, with the limits every request of this
  // upload carries.
  HttpRequest newRequest(const std::string& method, const std::string& url) const;
  // mergeUploadTask, telling in `unsure` whether a failed merge may still
  // have stored the file (an attempt went out whole and got no answer).
  bool mergeTask(const std::string& uploadId, bool& unsure);
  // Whether the local file changed since it was opened; logs it when it did.
  bool fileChanged(const ReadOnlyFile& file) const;
  // uploadPartData for the parts `indices` alone (resume.cc: a continued
  // task needs only the parts its journal lacks).
  PartsOutcome sendPlannedParts(const std::string& uploadId, const ReadOnlyFile& file,
                                const std::vector<uint64_t>& indices, bool continuedTask);

  RunContext& context_;
};

// What a journal records of `uploader`'s upload of the open `file` as task
// `task` (resume.cc).
JournalUpload journalUploadOf(const CorvaneMultiUpload& uploader, const ReadOnlyFile& file,
                              const std::string& task);

}  // namespace corvane
