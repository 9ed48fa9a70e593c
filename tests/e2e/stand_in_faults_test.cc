// The stand-in's own fault rules that the uploader's runs cannot show by
// themselves: rules over a range of requests, redirects elsewhere, and stalls
// that end when the client goes away or when the stand-in stops.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "e2e_harness.h"

namespace corvane::e2e {
namespace {

using ::testing::HasSubstr;

// Polls `done` every 10 ms for up to 10 seconds.
bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// A connection that has sent a storage-token request's headers, announcing a
// body of 100 bytes, and the first 10 of them.
int startTokenRequest(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  const std::string start =
      "POST /oauth2/token HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n0123456789";
  if (write(fd, start.data(), start.size()) != static_cast<ssize_t>(start.size())) return -1;
  return fd;
}

// What arrives on `fd` until the other side closes it.
std::string readToEnd(int fd) {
  std::string received;
  char block[4096];
  ssize_t got;
  while ((got = read(fd, block, sizeof block)) > 0) received.append(block, static_cast<size_t>(got));
  return received;
}

TEST(StandInFaults, RedirectsARangeOfRequestsToThemselvesOrToTheLocationGiven) {
  SKIP_FOR_WINDOWS_UPLOADER(kNoUploaderRun);
  LocalStore store;
  ASSERT_THAT(store.post("/_control/faults",
                         R"([{"kind":"storage-token","nth":2,"through":3,"action":"redirect"},)"
                         R"({"kind":"storage-token","nth":4,"action":"redirect","status":308,)"
                         R"("location":"http://127.0.0.1:1/elsewhere"}])"),
              HasSubstr("\"ok\":true"));
  httplib::Client client("127.0.0.1", store.port());
  std::vector<int> statuses;
  std::vector<std::string> locations;
  for (int i = 0; i < 5; ++i) {
    auto answer = client.Post("/oauth2/token?credential=c&x=1", "", "application/json");
    ASSERT_TRUE(answer);
    statuses.push_back(answer->status);
    locations.push_back(answer->get_header_value("Location"));
  }
  EXPECT_THAT(statuses, ::testing::ElementsAre(401, 307, 307, 308, 401));
  EXPECT_THAT(locations, ::testing::ElementsAre("", "/oauth2/token?credential=c&x=1",
                                                "/oauth2/token?credential=c&x=1",
                                                "http://127.0.0.1:1/elsewhere", ""));
}

// A stall-read takes no byte of the body. It ends when the client closes, and
// is then recorded with how long the client waited; one whose client stays
// ends when the stand-in stops, which does not wait out its 600 seconds.
TEST(StandInFaults, AStallReadsNothingEndsWithTheClientAndNeverHoldsUpTheStop) {
  SKIP_FOR_WINDOWS_UPLOADER(kNoUploaderRun);
  std::optional<LocalStore> store(std::in_place);
  ASSERT_THAT(store->post("/_control/faults", R"({"kind":"storage-token","action":"stall-read"})"),
              HasSubstr("\"ok\":true"));
  const int leaving = startTokenRequest(store->port());
  ASSERT_GE(leaving, 0);
  ASSERT_TRUE(eventually([&] { return store->count("storage-token") == 1; }));
  shutdown(leaving, SHUT_WR);
  ASSERT_TRUE(eventually([&] { return store->requests().Size() == 1; }));
  rapidjson::Document requests = store->requests();
  const auto& stalled = requests[0];
  EXPECT_EQ(stringAt(stalled, "fault"), "stall-read");
  EXPECT_EQ(stringAt(stalled, "closedBy"), "client");
  EXPECT_EQ(stalled["status"].GetInt(), 0);
  EXPECT_EQ(stalled["bodyBytes"].GetUint64(), 0u);
  EXPECT_GE(stalled["endMs"].GetInt64(), stalled["startMs"].GetInt64());
  EXPECT_EQ(readToEnd(leaving), "");
  close(leaving);

  const int staying = startTokenRequest(store->port());
  ASSERT_GE(staying, 0);
  ASSERT_TRUE(eventually([&] { return store->count("storage-token") == 2; }));
  const auto stopping = std::chrono::steady_clock::now();
  store.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(60));
  EXPECT_EQ(readToEnd(staying), "");
  close(staying);
}

}  // namespace
}  // namespace corvane::e2e
