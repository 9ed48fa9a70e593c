#include "platform/read_only_file.h"


#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_file.h"
#include "transport/body_source.h"
#include "transport/http_exchange.h"

namespace corvane {
namespace {

using testing::TempFile;

std::string bytesOf(size_t size) {
  std::string bytes(size, '\0');
  unsigned state = 12345;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 16);
  }
  return bytes;
}

// Large reads into a buffer that is misaligned against the file may come
// back short, so that later reads line up: a transfer must still get every
// byte of its window once, in order, whatever the buffer's alignment and the
// window's offset.
TEST(ReadOnlyFile, ShortenedLargeReadsStillDeliverTheWholeWindowInOrder) {
  const std::string content = bytesOf(3 * 256 * 1024 + 777);
  TempFile file(content);
  ReadOnlyFile open(file.path);
  ASSERT_TRUE(open.isOpen());
  std::vector<char> storage(256 * 1024 + 128);
  for (size_t skew : {size_t{0}, size_t{1}, size_t{16}, size_t{48}, size_t{63}}) {
    for (uint64_t offset : {uint64_t{0}, uint64_t{64}, uint64_t{100}, uint64_t{256 * 1024}}) {
      SCOPED_TRACE("skew " + std::to_string(skew) + ", offset " + std::to_string(offset));
      // A destination `skew` bytes past a 64-byte line.
      char* buffer = storage.data() + (64 - reinterpret_cast<uintptr_t>(storage.data()) % 64) + skew;
      BodySource window(open, offset, content.size() - offset);
      std::string sent;
      for (int calls = 0; calls < 100; ++calls) {
        size_t got = readRequestBody(buffer, 1, 256 * 1024 - 64, &window);
        ASSERT_NE(got, static_cast<size_t>(CURL_READFUNC_ABORT));
        if (got == 0) break;
        sent.append(buffer, got);
      }
      EXPECT_EQ(sent.size(), content.size() - offset);
      EXPECT_TRUE(sent == content.substr(offset)) << "the bytes differ";
    }
  }
}

TEST(ReadOnlyFile, SmallReadsAreNeverShortened) {
  const std::string content = bytesOf(5000);
  TempFile file(content);
  ReadOnlyFile open(file.path);
  alignas(64) char storage[4096 + 64];
  char* misaligned = storage + 16;
  EXPECT_EQ(open.readAt(0, misaligned, 4096), 4096);
  EXPECT_EQ(std::string(misaligned, 4096), content.substr(0, 4096));
}

}  // namespace
}  // namespace corvane
