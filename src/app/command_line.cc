#include "app/command_line.h"

#include <glog/logging.h>

#include <iostream>
#include <vector>

#include "app/main_log.h"
#include "platform/env.h"
#include "platform/path_split.h"

namespace corvane {
namespace {

constexpr char kConfigKey[] = "-cfg";
constexpr unsigned kLogKeepDays = 30;

constexpr char kUsage[] =
    "Usage: corvane-upload -cfg CONFIG.json\n"
    "\n"
    "Uploads the local file that the JSON configuration CONFIG.json names to the\n"
    "document store and writes a one-line JSON result file where its \"output\" key\n"
    "says. Every argument is echoed to standard output; the log goes to standard\n"
    "error and to a logs folder beside the program (or the other place the manual\n"
    "page names).\n"
    "\n"
    "Exit status:\n"
    "  0    the configuration was loaded and the upload ran; its outcome\n"
    "       (\"success\" or \"failed\") is in the result file\n"
    "  255  -cfg had no value or the configuration could not be loaded (-1 on\n"
    "       Windows); the reason is logged and no result file is written\n"
    "\n"
    "  corvane-upload --version   prints the version\n"
    "  corvane-upload --help      prints this text\n"
    "\n"
    "The configuration keys, the result file and the logs are described in the\n"
    "README and in the manual page corvane-upload(1).\n";

// The directory beside the executable when it can take log files, else the
// first of the platform's other places that can (the XDG state folder on
// Linux, %LOCALAPPDATA%\corvane-upload\logs on Windows); empty when none
// can.
std::string chooseLogDirectory(Env& env, const std::string& besideExecutable) {
  if (!env.pathExists(besideExecutable)) env.createDirectory(besideExecutable);
  if (env.isWritableDirectory(besideExecutable)) return besideExecutable;
  for (const std::string& fallback : env.fallbackLogDirectories()) {
    if (createDirectories(env, fallback) && env.isWritableDirectory(fallback)) return fallback;
  }
  return {};
}

// Without any log directory every line still reaches standard error.
void logToStandardErrorOnly() {
  FLAGS_logtostderr = true;
  FLAGS_logbufsecs = 0;
  MAIN_LOG(WARNING) << "no log directory can be created or written; no log file is kept";
}

}  // namespace

ArgumentTable& argumentTable() {
  static ArgumentTable table;
  return table;
}

void collectArguments(int argc, const char* const argv[], ArgumentTable& table,
                      std::ostream& echo) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    echo << argument << std::endl;
    if (argument == kConfigKey) {
      table[kConfigKey].clear();
      continue;
    }
    for (auto& [key, value] : table) {
      if (value.empty()) {
        value = argument;
        break;
      }
    }
  }
}

bool answerInformationRequest(int argc, const char* const argv[], const std::string& versionLine,
                              std::ostream& out) {
  if (argc != 2 || !argv[1]) return false;
  const std::string argument = argv[1];
  if (argument == "--version") {
    out << versionLine << std::endl;
  } else if (argument == "--help") {
    out << kUsage << std::flush;
  } else {
    return false;
  }
  return true;
}

std::string directoryOf(const std::string& path) {
  const std::vector<size_t> separators = separatorPositions(path);
  return separators.empty() ? std::string() : path.substr(0, separators.back() + 1);
}

bool parseCommandLine(int argc, const char* const argv[]) {
  ArgumentTable& table = argumentTable();
  collectArguments(argc, argv, table, std::cout);

  Env& env = Env::current();
  std::string executable = argc > 0 && argv[0] ? argv[0] : "";
  std::string reported = env.executablePath();
  if (!reported.empty()) executable = reported;
  std::string logDir = chooseLogDirectory(env, directoryOf(executable) + "logs");
  // Never the logging library's own default place (the temporary folder),
  // where nobody would look for the logs.
  if (!logDir.empty()) {
    initLogging(logDir);
  } else {
    logToStandardErrorOnly();
  }
  return !table[kConfigKey].empty();
}

void initLogging(const std::string& logDir) {
  if (!Env::current().pathExists(logDir)) return;
  const std::string base = logDir + kPathSeparator + "corvaneMuliUpload.log.";
  FLAGS_max_log_size = 10;
  FLAGS_logtostderr = false;
  FLAGS_alsologtostderr = true;
  google::SetLogDestination(google::GLOG_INFO, base.c_str());
  // The INFO file already holds every severity; no second set of files
  // elsewhere.
  google::SetLogDestination(google::GLOG_WARNING, "");
  google::SetLogDestination(google::GLOG_ERROR, "");
  google::SetLogDestination(google::GLOG_FATAL, "");
  google::SetStderrLogging(google::GLOG_INFO);
  FLAGS_logbufsecs = 0;
  google::EnableLogCleaner(kLogKeepDays);
  std::cout << " log dir is " << base << std::endl;
}

}  // namespace corvane
