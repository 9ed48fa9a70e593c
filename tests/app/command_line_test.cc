#include "app/command_line.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "platform/env.h"
#include "text/local_codepage.h"

namespace corvane {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

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

// What answerInformationRequest makes of `arguments` (after the program's
// name): whether it answered, and what it wrote.
struct Answer {
  bool answered;
  std::string written;
};
Answer answer(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "corvane-upload");
  std::ostringstream out;
  bool answered = answerInformationRequest(static_cast<int>(arguments.size()), arguments.data(),
                                           "corvane-upload 9.8.7 (libcurl/1.2.3)", out);
  return {answered, out.str()};
}

TEST(InformationRequest, ALoneVersionPrintsTheVersionLineAlone) {
  Answer version = answer({"--version"});
  EXPECT_TRUE(version.answered);
  EXPECT_EQ(version.written, "corvane-upload 9.8.7 (libcurl/1.2.3)\n");
}

TEST(InformationRequest, ALoneHelpSaysHowToStartItWhatTheStatusesMeanAndWhereToReadMore) {
  Answer help = answer({"--help"});
  EXPECT_TRUE(help.answered);
  EXPECT_THAT(help.written, StartsWith("Usage: corvane-upload -cfg CONFIG.json\n"));
  EXPECT_THAT(help.written, HasSubstr("\n  0 "));
  EXPECT_THAT(help.written, HasSubstr("\n  255 "));
  EXPECT_THAT(help.written, HasSubstr("README"));
  EXPECT_THAT(help.written, HasSubstr("corvane-upload(1)"));
  EXPECT_THAT(help.written, EndsWith(".\n"));
}

// Anything else is an ordinary command line, collected as always.
TEST(InformationRequest, AnyOtherCommandLineIsLeftAlone) {
  for (std::vector<const char*> arguments : std::vector<std::vector<const char*>>{
           {},
           {"--version", "-cfg", "x.json"},
           {"-cfg", "x.json", "--version"},
           {"-cfg", "--version"},
           {"--help", "--version"},
           {"-version"},
           {"--VERSION"},
           {"-h"},
           {"--version="},
           {""}}) {
    Answer other = answer(arguments);
    EXPECT_FALSE(other.answered) << (arguments.empty() ? "(none)" : arguments[0]);
    EXPECT_EQ(other.written, "");
  }
  // "-cfg --version" takes it as the configuration's path.
  EXPECT_EQ(collect({"-cfg", "--version"}), (ArgumentTable{{"-cfg", "--version"}}));
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
