#pragma once

#include <map>
#include <ostream>
#include <string>

namespace corvane {

// Argument key to value, ordered by byte-wise comparison of the keys.
using ArgumentTable = std::map<std::string, std::string>;

// The process-wide argument table.
ArgumentTable& argumentTable();

// Echoes every argument to `echo` and files it into `table`: "-cfg" opens
// (or empties) its entry, any other argument fills the first entry whose
// value is still empty, or is dropped when there is none.
void collectArguments(int argc, const char* const argv[], ArgumentTable& table, std::ostream& echo);

// When "--version" or "--help" is the only argument: writes the version line
// or the usage text to `out` and returns true. False, with nothing written,
// for any other command line (those are collected as always).
bool answerInformationRequest(int argc, const char* const argv[], const std::string& versionLine,
                              std::ostream& out);

// The directory part of `path`, up to and including its last separator;
// empty when it has none.
std::string directoryOf(const std::string& path);

// Fills the argument table, prepares the log directory beside the executable
// (or, where it cannot take log files, in the platform's other place for
// them) and configures logging. True when "-cfg" has a non-empty value.
bool parseCommandLine(int argc, const char* const argv[]);

// Sends the log to files under `logDir` and to standard error; leaves the
// logging library's defaults when `logDir` does not exist.
void initLogging(const std::string& logDir);

}  // namespace corvane
