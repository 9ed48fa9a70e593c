#include "app/command_line.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "platform/env.h"
#include "text/local_codepage.h"

namespace corvane {
namespace {

ArgumentTable collect(std::vector<const char*> arguments, std::string* echoed = nullptr) {
  arguments.insert(arguments.begin(), "corvane-upload");
  ArgumentTable table;
  std::ostringstream echo;
  collectArguments(static_cast<int>(arguments.size()), arguments.data(), table, echo);
  if (echoed) *echoed = echo.str();
  return table;
}

TEST(CollectArguments, TheValueAfterCfgIsThePath) {
  EXPECT_EQ(collect({"-cfg", "a.json"}), (ArgumentTable{{"-cfg", "a.json"}}));
}

TEST(CollectArguments, ArgumentsWithoutAnOpenEntryAreDropped) {
  EXPECT_EQ(collect({"x.json", "-cfg", "a.json"}), (ArgumentTable{{"-cfg", "a.json"}}));
  EXPECT_EQ(collect({"-cfg", "a.json", "b.json"}), (ArgumentTable{{"-cfg", "a.json"}}));
}

TEST(CollectArguments, ASecondCfgEmptiesTheEntryForTheNextValue) {
  EXPECT_EQ(collect({"-cfg", "a.json", "-cfg", "b.json"}), (ArgumentTable{{"-cfg", "b.json"}}));
  EXPECT_EQ(collect({"-cfg", "a.json", "-cfg"}), (ArgumentTable{{"-cfg", ""}}));
}

TEST(CollectArguments, OnlyTheExactKeyMatches) {
  EXPECT_TRUE(collect({"-cfg=a.json"}).empty());
  EXPECT_TRUE(collect({"-CFG", "a.json"}).empty());
  EXPECT_TRUE(collect({"-cf", "a.json"}).empty());
}

TEST(CollectArguments, EveryArgumentIsEchoedOnItsOwnLine) {
  std::string echoed;
  collect({"x", "-cfg", "a.json", "", "z"}, &echoed);
  EXPECT_EQ(echoed, "x\n-cfg\na.json\n\nz\n");
}

// `path` with every '/' written as the platform's separator.
std::string native(std::string path) {
  for (char& c : path) {
    if (c == '/') c = kPathSeparator;
  }
  return path;
}

TEST(DirectoryOf, KeepsTheTrailingSeparator) {
  EXPECT_EQ(directoryOf(native("/opt/corvane/bin/corvane-upload")), native("/opt/corvane/bin/"));
  EXPECT_EQ(directoryOf(native("/corvane-upload")), native("/"));
  EXPECT_EQ(directoryOf("corvane-upload"), "");
}

// 診 is D4 5C in GBK, the code page of the executable's path on a Chinese
// Windows: the backslash byte inside it is not where the directory ends.
TEST(DirectoryOf, AnExecutableNameInGbkKeepsItsDirectory) {
  setLocalCodepage(LocalCodepage::kGbk);
  EXPECT_EQ(directoryOf(native("C:/tools/\xD4\x5C\x94\xE0.exe")), native("C:/tools/"));
  EXPECT_EQ(directoryOf(native("C:/tools\xD4\x5C/up.exe")), native("C:/tools\xD4\x5C/"));
  setLocalCodepage(platformCodepage());
}

}  // namespace
}  // namespace corvane
