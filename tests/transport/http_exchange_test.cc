#include "transport/http_exchange.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "support/fake_env.h"
#include "text/local_codepage.h"
#include "support/log_capture.h"
#include "support/scripted_transfers.h"
#include "support/temp_file.h"
#include "transport/curl_driver.h"
#include "transport/transfer_loop.h"

namespace corvane {
namespace {

using testing::FakeEnv;
using testing::ScriptedRun;
using testing::ScriptedTransfers;
using testing::TempFile;
using ::testing::HasSubstr;
using testing::LogCapture;

HttpRequest postTo(const std::string& url) {
  HttpRequest request;
  request.method = "POST";
  request.url = url;
  return request;
}

TEST(PerformRequest, SecondAttemptFollowsAtOnceWithOnlyItsCauseLogged) {
  FakeEnv env;
  LogCapture log;
  ScriptedRun scripted;
  ScriptedTransfers& network = scripted.network;
  network.thenFail(CURLE_COULDNT_CONNECT);
  network.thenRespond("{}");
  EXPECT_EQ(scripted.loop.perform(postTo("http://h/x?q=1")).result, CURLE_OK);
  EXPECT_EQ(network.attempts().size(), 2u);
  EXPECT_TRUE(env.sleeps.empty());
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "http://h/x attempt 1 failed: Couldn't connect to server (curl error 7)");
  EXPECT_EQ(log.severities[0], google::GLOG_ERROR);
}

TEST(PerformRequest, GivesUpAfter33AttemptsWith31PausesAndRedactedLines) {
  FakeEnv env;
  LogCapture log;
  ScriptedRun scripted;
  ScriptedTransfers& network = scripted.network;
  for (int i = 0; i < 32; ++i) network.thenFail(CURLE_COULDNT_CONNECT);
  network.thenFail(CURLE_OPERATION_TIMEDOUT);
  HttpResponse response = scripted.loop.perform(postTo("https://u:p@h/oauth2/token?credential=secret"));
  EXPECT_EQ(response.result, CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(network.attempts().size(), 33u);
  EXPECT_EQ(env.sleeps.size(), 31u);
  EXPECT_EQ(env.totalSleptMilliseconds(), 62000);
  // Each attempt's cause, then the retry line that announces the pause.
  ASSERT_EQ(log.lines.size(), 33u + 32u);
  EXPECT_THAT(log.lines[0], HasSubstr("https://h/oauth2/token attempt 1 failed: "));
  for (int attempt = 2; attempt <= 32; ++attempt) {
    size_t at = 1 + 2 * static_cast<size_t>(attempt - 2);
    EXPECT_THAT(log.lines[at], HasSubstr(" attempt " + std::to_string(attempt) + " failed: "));
    EXPECT_EQ(log.lines[at].find("connect failed!!!"), std::string::npos);
    EXPECT_EQ(log.lines[at + 1],
              "https://h/oauth2/token connect failed!!! retry " + std::to_string(attempt));
  }
  EXPECT_THAT(log.lines[63], HasSubstr("attempt 33 failed: Timeout was reached (curl error 28)"));
  EXPECT_EQ(log.lines[64], "https://h/oauth2/token connect failed!!! max retry 32");
  EXPECT_EQ(log.sources[64], "corvaneMuliUpload");
  EXPECT_EQ(log.severities[64], google::GLOG_ERROR);
  for (const std::string& line : log.lines) EXPECT_EQ(line.find("secret"), std::string::npos);
}

TEST(CaptureResponse, StopsEachChunkAtItsFirstNulButKeepsLaterChunks) {
  CaptureBuffer buffer;
  char first[] = {'a', 'b', '\0', 'c'};
  char second[] = {'d', 'e'};
  EXPECT_EQ(captureResponse(first, 1, sizeof first, &buffer), sizeof first);
  EXPECT_EQ(captureResponse(second, 2, 1, &buffer), 2u);
  EXPECT_EQ(buffer.text, "abde");
}

// The cap counts every byte that came: an endless answer of NULs, of which
// nothing is kept, ends like any other.
TEST(CaptureResponse, NulBytesCountTowardTheCap) {
  CaptureBuffer buffer;
  std::string block(64 * 1024, '\0');
  block[100] = 'x';
  size_t taken = 0;
  for (int i = 0; i < 100; ++i) {
    taken = captureResponse(block.data(), 1, block.size(), &buffer);
    if (taken == 0) break;
  }
  EXPECT_EQ(taken, 0u);
  EXPECT_TRUE(buffer.overflowed);
  EXPECT_LE(buffer.text.size(), 64u);
}

TEST(CaptureResponse, AnAnswerPastTheCapEndsTheTransferAsFailedWithoutRetry) {
  FakeEnv env;
  LogCapture log;
  ScriptedRun scripted;
  ScriptedTransfers& network = scripted.network;
  network.then([](Transfer& transfer) {
    std::string block(1024 * 1024, 'x');
    for (int i = 0; i < 5; ++i) {
      if (captureResponse(block.data(), 1, block.size(), transfer.body) == 0) return CURLE_WRITE_ERROR;
    }
    return CURLE_OK;
  });
  HttpResponse response = scripted.loop.perform(postTo("http://h/x"));
  EXPECT_EQ(response.result, CURLE_WRITE_ERROR);
  EXPECT_EQ(network.attempts().size(), 1u);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_THAT(log.lines[0], HasSubstr("the answer is larger than 4194304 bytes"));
}

TEST(PerformRequest, EveryAttemptStartsWithEmptyBuffersAndTheBodyAtItsFirstByte) {
  FakeEnv env;
  ScriptedRun scripted;
  ScriptedTransfers& network = scripted.network;
  TempFile file("0123456789abcdefghij");
  ReadOnlyFile open(file.path);
  BodySource window(open, 5, 10);
  network.thenFail(CURLE_SEND_ERROR, 4);
  network.thenFail(CURLE_SEND_ERROR, 7);
  network.thenRespond("{\"ok\":1}", "HTTP/1.1 200 OK\r\n\r\n");

  HttpRequest request;
  request.method = "PUT";
  request.url = "http://h/p";
  request.upload = &window;
  HttpResponse response = scripted.loop.perform(request);

  EXPECT_EQ(response.result, CURLE_OK);
  EXPECT_EQ(response.body, "{\"ok\":1}");
  EXPECT_EQ(response.headers, "HTTP/1.1 200 OK\r\n\r\n");
  ASSERT_EQ(network.attempts().size(), 3u);
  EXPECT_EQ(network.attempts()[0].uploaded, "5678");
  EXPECT_EQ(network.attempts()[1].uploaded, "56789ab");
  EXPECT_EQ(network.attempts()[2].uploaded, "56789abcde");
  EXPECT_EQ(env.sleeps.size(), 1u);
}

TEST(PerformRequest, AFileThatShrankEndsTheRequestAtOnce) {
  FakeEnv env;
  LogCapture log;
  ScriptedRun scripted;
  ScriptedTransfers& network = scripted.network;
  TempFile file("0123456789");
  ReadOnlyFile open(file.path);
  BodySource window(open, 5, 10);  // the file ends 5 bytes short of the window
  network.then([&network](Transfer& transfer) {
    return network.drain(transfer).size() < 10 ? CURLE_ABORTED_BY_CALLBACK : CURLE_OK;
  });
  HttpRequest request = postTo("http://h/p");
  request.upload = &window;
  EXPECT_EQ(scripted.loop.perform(request).result, CURLE_ABORTED_BY_CALLBACK);
  EXPECT_EQ(network.attempts().size(), 1u);
  EXPECT_TRUE(window.fileShrank());
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_THAT(log.lines[0], HasSubstr("the local file ended early"));
}

TEST(ReadRequestBody, AFileThatEndsEarlyAbortsInsteadOfSendingAShortBody) {
  TempFile file("short");
  ReadOnlyFile open(file.path);
  BodySource window(open, 0, 10);
  char buffer[64];
  EXPECT_EQ(readRequestBody(buffer, 1, sizeof buffer, &window), 5u);
  EXPECT_EQ(readRequestBody(buffer, 1, sizeof buffer, &window),
            static_cast<size_t>(CURL_READFUNC_ABORT));
}

TEST(ReadRequestBody, ReadsAreBoundedByTheWindow) {
  TempFile file("0123456789");
  ReadOnlyFile open(file.path);
  BodySource window(open, 2, 3);
  char buffer[64];
  EXPECT_EQ(readRequestBody(buffer, 1, sizeof buffer, &window), 3u);
  EXPECT_EQ(std::string(buffer, 3), "234");
  EXPECT_EQ(readRequestBody(buffer, 1, sizeof buffer, &window), 0u);
  EXPECT_TRUE(window.seek(1));
  EXPECT_FALSE(window.seek(4));
  EXPECT_EQ(readRequestBody(buffer, 1, sizeof buffer, &window), 2u);
  EXPECT_EQ(std::string(buffer, 2), "34");
}

TEST(PerformRequest, RefusesFileUrlsWithoutTouchingTheFile) {
  FakeEnv env;
  HttpRequest request;
  request.method = "PUT";
  TempFile target("keep");
  TempFile source("overwrite");
  ReadOnlyFile open(source.path);
  BodySource window(open, 0, 9);
  request.url = "file://" + target.path;
  request.upload = &window;
  RunControls controls;
  CurlDriver network;
  TransferLoop loop(network, controls);
  HttpResponse response = loop.perform(request);
  EXPECT_EQ(response.result, CURLE_UNSUPPORTED_PROTOCOL);
  // No later attempt could use such a URL: one attempt, no pause.
  EXPECT_EQ(response.outcome, RequestOutcome::kHopeless);
  EXPECT_TRUE(env.sleeps.empty());
  std::ifstream in(target.path);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "keep");
}

TEST(DumpResponse, PrintsBothLabelsAndConvertedTexts) {
  HttpResponse response;
  response.result = CURLE_OK;
  response.body = "{\"n\":\"\xE4\xB8\xAD\"}";
  response.headers = "HTTP/1.1 200 OK\r\n\r\n";
  ::testing::internal::CaptureStdout();
  setLocalCodepage(LocalCodepage::kGbk);
  std::string judged = dumpResponse("createUploadTask", response);
  std::string out = ::testing::internal::GetCapturedStdout();
  setLocalCodepage(platformCodepage());
  // Printed converted, judged as it arrived.
  EXPECT_EQ(judged, response.body);
  EXPECT_EQ(out, "createUploadTask CURLOPT_WRITEFUNCTION out:\n{\"n\":\"\xD6\xD0\"}\n"
                 "createUploadTask CURLOPT_HEADERFUNCTION out:\nHTTP/1.1 200 OK\r\n\r\n\n");
}

}  // namespace
}  // namespace corvane
