#include "transport/http_exchange.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "support/fake_env.h"
#include "support/log_capture.h"
#include "support/scripted_transfers.h"
#include "support/temp_file.h"

namespace corvane {
namespace {

using testing::FakeEnv;
using testing::ScriptedTransfers;
using testing::TempFile;
using ::testing::HasSubstr;
using testing::LogCapture;

TEST(PerformWithRetry, SecondAttemptFollowsSilentlyWithoutPause) {
  FakeEnv env;
  LogCapture log;
  int calls = 0;
  CURLcode result = performWithRetry(
      [&] { return ++calls == 1 ? CURLE_COULDNT_CONNECT : CURLE_OK; }, "http://h/x");
  EXPECT_EQ(result, CURLE_OK);
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(env.sleeps.empty());
  EXPECT_TRUE(log.lines.empty());
}

TEST(PerformWithRetry, GivesUpAfter33AttemptsWith31PausesAndRedactedLines) {
  FakeEnv env;
  LogCapture log;
  int calls = 0;
  CURLcode result = performWithRetry(
      [&] {
        ++calls;
        return calls == 33 ? CURLE_OPERATION_TIMEDOUT : CURLE_COULDNT_CONNECT;
      },
      "https://u:p@h/oauth2/token?credential=secret");
  EXPECT_EQ(result, CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(calls, 33);
  EXPECT_EQ(env.sleeps.size(), 31u);
  EXPECT_EQ(env.totalSleptMilliseconds(), 62000);
  ASSERT_EQ(log.lines.size(), 32u);
  for (int i = 0; i < 31; ++i) {
    EXPECT_EQ(log.lines[i], "https://h/oauth2/token connect failed!!! retry " + std::to_string(i + 2));
  }
  EXPECT_EQ(log.lines[31], "https://h/oauth2/token connect failed!!! max retry 32");
  EXPECT_EQ(log.sources[31], "corvaneMuliUpload");
  EXPECT_EQ(log.severities[31], google::GLOG_ERROR);
}

TEST(PerformWithRetry, ThreeFailuresThenSuccessLogRetry2And3) {
  FakeEnv env;
  LogCapture log;
  int calls = 0;
  performWithRetry([&] { return ++calls <= 3 ? CURLE_RECV_ERROR : CURLE_OK; }, "http://h/x");
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(env.sleeps, (std::vector<int64_t>{2000, 2000}));
  EXPECT_THAT(log.lines, ::testing::ElementsAre(HasSubstr("retry 2"), HasSubstr("retry 3")));
}

TEST(CaptureResponse, StopsEachChunkAtItsFirstNulButKeepsLaterChunks) {
  std::string buffer;
  char first[] = {'a', 'b', '\0', 'c'};
  char second[] = {'d', 'e'};
  EXPECT_EQ(captureResponse(first, 1, sizeof first, &buffer), sizeof first);
  EXPECT_EQ(captureResponse(second, 2, 1, &buffer), 2u);
  EXPECT_EQ(buffer, "abde");
}

TEST(PerformRequest, EveryAttemptStartsWithEmptyBuffersAndTheBodyAtItsFirstByte) {
  FakeEnv env;
  ScriptedTransfers network;
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
  HttpResponse response = performRequest(request);

  EXPECT_EQ(response.result, CURLE_OK);
  EXPECT_EQ(response.body, "{\"ok\":1}");
  EXPECT_EQ(response.headers, "HTTP/1.1 200 OK\r\n\r\n");
  ASSERT_EQ(network.attempts().size(), 3u);
  EXPECT_EQ(network.attempts()[0].uploaded, "5678");
  EXPECT_EQ(network.attempts()[1].uploaded, "56789ab");
  EXPECT_EQ(network.attempts()[2].uploaded, "56789abcde");
  EXPECT_EQ(env.sleeps.size(), 1u);
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
  HttpResponse response = performRequest(request);
  EXPECT_EQ(response.result, CURLE_UNSUPPORTED_PROTOCOL);
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
  std::string converted = dumpResponse("createUploadTask", response);
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(converted, "{\"n\":\"\xD6\xD0\"}");
  EXPECT_EQ(out, "createUploadTask CURLOPT_WRITEFUNCTION out:\n{\"n\":\"\xD6\xD0\"}\n"
                 "createUploadTask CURLOPT_HEADERFUNCTION out:\nHTTP/1.1 200 OK\r\n\r\n\n");
}

}  // namespace
}  // namespace corvane
