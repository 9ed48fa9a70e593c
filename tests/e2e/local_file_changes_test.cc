// The local file changed under a running upload, by the stand-in while it
// holds one of the uploader's requests: removed, cut, grown or rewritten in
// place. The file is opened once, so every part comes from that open file,
// and a file that is not the one opened by the time its last byte was read
// is never merged nor reported as stored.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "e2e_harness.h"
#include "fault_rules.h"

namespace corvane::e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr size_t kMiB = 1048576;

struct ChangeRun {
  ChangeRun(const std::string& heldKind, const std::string& change, uint64_t bytes, size_t size,
            std::map<std::string, std::string> overrides = {{"partsize", "#1"}}) {
    content = patternBytes(size, 21);
    Rule rule(heldKind, "pass");
    rule.nth(1).delayMs(200);
    if (!change.empty()) rule.changeLocalFile(dir.file("input.bin"), change, bytes);
    store.post("/_control/faults", rulesJson({rule}));
    upload = uploadContent(dir, store, content, overrides);
  }
  std::string code() const { return stringAt(upload.resultJson, "code"); }
  std::string message() const { return stringAt(upload.resultJson, "message"); }
  bool logged(const std::string& text) const {
    return upload.run.err.find(text) != std::string::npos;
  }

  TempDir dir;
  LocalStore store;
  std::string content;
  UploadRun upload;
};

// Removed while the task request was held: the parts still come from the
// file opened before, whole, but the path no longer names it, so nothing
// is merged.
TEST(LocalFileChanges, AFileRemovedDuringTheTaskRequestIsNeverMerged) {
  ChangeRun run("create-task", "remove", 0, 3 * kMiB);
  EXPECT_EQ(run.upload.run.exitStatus, 0);
  EXPECT_EQ(run.code(), "failed") << run.upload.run.err;
  EXPECT_EQ(run.message(), "uploadPartData failed!");
  EXPECT_TRUE(run.logged("changed during the upload")) << run.upload.run.err;
  EXPECT_TRUE(run.logged("part count: 3"));
  EXPECT_EQ(run.store.count("merge"), 0);
  EXPECT_EQ(run.store.get("/_control/items"), "[]");
}

// Cut to 1.5 MiB while the task request was held: the plan stays that of
// the file as opened (three parts of 3 MiB), the second part finds the file
// short, and no short part is sent nor merged.
TEST(LocalFileChanges, AFileCutDuringTheTaskRequestSendsNoShortPartAndNoMerge) {
  ChangeRun run("create-task", "cut", 3 * kMiB / 2, 3 * kMiB);
  EXPECT_EQ(run.code(), "failed") << run.upload.run.err;
  EXPECT_EQ(run.message(), "uploadPartData failed!");
  EXPECT_TRUE(run.logged("part count: 3"));
  EXPECT_TRUE(run.logged("the local file ended early")) << run.upload.run.err;
  EXPECT_EQ(run.store.count("merge"), 0);
  rapidjson::Document requests = run.store.requests();
  for (const auto& request : requests.GetArray()) {
    if (stringAt(request, "kind") != "create-task") continue;
    EXPECT_THAT(stringAt(request, "body"), HasSubstr("\"length\":3145728"));
  }
}

TEST(LocalFileChanges, AFileGrownDuringAPartIsNeverMerged) {
  ChangeRun run("part-url", "grow", 4096, 3 * kMiB);
  EXPECT_EQ(run.code(), "failed") << run.upload.run.err;
  EXPECT_EQ(run.message(), "uploadPartData failed!");
  EXPECT_TRUE(run.logged("local file " + run.dir.file("input.bin") +
                         " changed during the upload"))
      << run.upload.run.err;
  EXPECT_EQ(run.store.count("merge"), 0);
}

// Rewritten in place, same size, between the first part and the others: a
// mix of old and new bytes would be stored as the file.
TEST(LocalFileChanges, AFileRewrittenInPlaceDuringTheUploadIsNeverMerged) {
  ChangeRun run("part-url", "rewrite", 0, 3 * kMiB);
  EXPECT_EQ(run.code(), "failed") << run.upload.run.err;
  EXPECT_EQ(run.message(), "uploadPartData failed!");
  EXPECT_TRUE(run.logged("changed during the upload"));
  EXPECT_EQ(run.store.count("merge"), 0);
}

// Even with its modification time put back, a rewrite moves the time of
// the file's last change, which no program can set.
TEST(LocalFileChanges, ARewriteWhoseModificationTimeWasPutBackIsCaughtAllTheSame) {
  ChangeRun run("part-url", "rewrite-keep-time", 0, 3 * kMiB);
  EXPECT_EQ(run.code(), "failed") << run.upload.run.err;
  EXPECT_EQ(run.message(), "uploadPartData failed!");
  EXPECT_EQ(run.store.count("merge"), 0);
}

// The direct upload's item was sent when the change is seen: it is reported
// as failed, so the caller does not take a mixed copy for the file.
TEST(LocalFileChanges, ADirectUploadOfAFileRewrittenMeanwhileIsReportedAsFailed) {
  ChangeRun run("storage-token", "rewrite", 0, 64 * 1024, {{"partsize", "#1"}});
  EXPECT_EQ(run.code(), "failed") << run.upload.run.err;
  EXPECT_EQ(run.message(), "uploadOnePartData failed!");
  EXPECT_TRUE(run.logged("changed during the upload"));
  EXPECT_EQ(stringAt(run.upload.resultJson["data"], "fileitemid"), "");
}

TEST(LocalFileChanges, AFileLeftAloneArrivesWhole) {
  ChangeRun run("create-task", "", 0, 3 * kMiB);
  EXPECT_EQ(run.code(), "success") << run.upload.run.err;
  EXPECT_EQ(sha256Hex(run.store.storedBytes(run.upload.fileItemId())), sha256Hex(run.content));
}

}  // namespace
}  // namespace corvane::e2e
