// Files beyond 4 GiB, end to end against the stand-in's sink (bodies counted
// and checksummed, nothing written): a sparse 5 GiB + 1 byte file goes
// through whole, directly and in 5,121 parts of 1 MiB. Marks at and around
// each GiB boundary make any slip of an offset show in a checksum.
#include <fcntl.h>
#include <unistd.h>
#include <xxhash.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "e2e_harness.h"

namespace corvane::e2e {
namespace {

using ::testing::HasSubstr;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;
constexpr uint64_t kSize = 5 * kGiB + 1;

std::string hexOf(XXH128_hash_t hash) {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, hash);
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : canonical.digest) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

// A sparse file of kSize bytes: zeros, but for a distinct 16-byte mark just
// before, at and after each GiB inside it and a last byte of its own.
class SparseFile {
 public:
  explicit SparseFile(const std::string& path) : path_(path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(kSize)), 0);
    for (uint64_t gib = 1; gib <= 5; ++gib) {
      for (int64_t shift : {-16, 0, 16}) {
        if (gib * kGiB + shift + 16 > kSize - 1) continue;
        std::string mark = "mark " + std::to_string(gib) + " " + std::to_string(shift) + "....";
        mark.resize(16, '.');
        EXPECT_EQ(pwrite(fd, mark.data(), mark.size(), static_cast<off_t>(gib * kGiB + shift)), 16);
      }
    }
    EXPECT_EQ(pwrite(fd, "!", 1, static_cast<off_t>(kSize - 1)), 1);
    ::close(fd);
  }

  // XXH3-128 of `length` bytes from `offset`, as the sink writes it.
  std::string hash(uint64_t offset, uint64_t length) const {
    int fd = ::open(path_.c_str(), O_RDONLY);
    std::unique_ptr<XXH3_state_t, decltype(&XXH3_freeState)> state(XXH3_createState(),
                                                                   &XXH3_freeState);
    XXH3_128bits_reset(state.get());
    std::string block(8 * kMiB, '\0');
    while (length > 0) {
      ssize_t got = pread(fd, block.data(), std::min<uint64_t>(length, block.size()),
                          static_cast<off_t>(offset));
      if (got <= 0) break;
      XXH3_128bits_update(state.get(), block.data(), static_cast<size_t>(got));
      offset += static_cast<uint64_t>(got);
      length -= static_cast<uint64_t>(got);
    }
    ::close(fd);
    return hexOf(XXH3_128bits_digest(state.get()));
  }

 private:
  std::string path_;
};

class LargeFile : public ::testing::Test {
 protected:
  RunResult upload(int partsizeMiB) {
    std::string config =
        writeConfig(dir, store, dir.file("large.bin"), {{"partsize", "#" + std::to_string(partsizeMiB)}});
    return runUploaderWithin(dir, {"-cfg", config}, 600);
  }
  rapidjson::Document sink() const {
    rapidjson::Document document;
    document.Parse(store.get("/_control/sink").c_str());
    return document;
  }

  TempDir dir;
  LocalStore store{{"--sink"}};
  SparseFile file{dir.file("large.bin")};
};

TEST_F(LargeFile, FiveGibibytesAndOneByteGoInOneRequestWhole) {
  RunResult run = upload(5121);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_THAT(readFile(dir.file("result.json")), HasSubstr(R"("code":"success")")) << run.err;
  rapidjson::Document requests = store.requests();
  ASSERT_EQ(kindsOf(requests), (std::vector<std::string>{"storage-token", "direct-upload"}));
  EXPECT_THAT(stringAt(requests[1], "query"), HasSubstr("length=5368709121"));
  EXPECT_EQ(headerOf(requests[1], "content-length"), "5368709121");
  rapidjson::Document got = sink();
  ASSERT_EQ(got["items"].Size(), 1u);
  EXPECT_EQ(got["items"][0]["length"].GetUint64(), kSize);
  EXPECT_EQ(std::string(got["items"][0]["xxh128"].GetString()), file.hash(0, kSize));
}

TEST_F(LargeFile, FiveGibibytesAndOneByteGoIn5121PartsWhole) {
  RunResult run = upload(1);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_THAT(readFile(dir.file("result.json")), HasSubstr(R"("code":"success")")) << run.err;
  EXPECT_THAT(run.logs, HasSubstr("upload file size: 5368709121 ; part size: 1048576 ; "
                                  "part count: 5121"));
  rapidjson::Document requests = store.requests();
  ASSERT_TRUE(requests.IsArray());
  EXPECT_THAT(stringAt(requests[1], "body"), HasSubstr(R"("length":5368709121})"));
  EXPECT_EQ(stringAt(requests[requests.Size() - 1], "kind"), "merge");
  rapidjson::Document got = sink();
  const auto& parts = got["parts"];
  ASSERT_EQ(parts.Size(), 5121u);
  const std::string zeros = file.hash(kMiB, kMiB);  // a MiB without a mark
  for (rapidjson::SizeType i = 0; i < parts.Size(); ++i) {
    const uint64_t offset = i * kMiB;
    const uint64_t length = std::min(kMiB, kSize - offset);
    ASSERT_EQ(parts[i]["part"].GetUint64(), i + 1u);
    ASSERT_EQ(parts[i]["bytes"].GetUint64(), length) << "part " << i + 1;
    // Only the parts around a mark differ from a MiB of zeros.
    bool marked = offset % kGiB == 0 || (offset + kMiB) % kGiB == 0 || i + 1 == parts.Size();
    std::string expected = marked ? file.hash(offset, length) : zeros;
    ASSERT_EQ(std::string(parts[i]["xxh128"].GetString()), expected) << "part " << i + 1;
  }
  EXPECT_EQ(parts[5120]["bytes"].GetUint64(), 1u);
  ASSERT_EQ(got["items"].Size(), 1u);
  EXPECT_EQ(std::string(got["items"][0]["kind"].GetString()), "merge");
  EXPECT_EQ(got["items"][0]["length"].GetUint64(), kSize);
}

}  // namespace
}  // namespace corvane::e2e
