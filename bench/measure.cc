// measure: runs one command and reports what it cost, from wait4()'s
// resource usage of that very child (not of the whole process tree):
//   measure OUTFILE TIMEOUT_SECONDS COMMAND [ARGS...]
// appends "wall_s user_s sys_s maxrss_kib exit_status" as one line to
// OUTFILE. The child inherits standard input, output and error. A child still
// running after TIMEOUT_SECONDS is killed and counts as failed (status 124).
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

volatile sig_atomic_t timed_out = 0;
pid_t child_pid = -1;

void kill_child(int) {
  timed_out = 1;
  if (child_pid > 0) kill(child_pid, SIGKILL);
}

double seconds_of(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

double now_seconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: measure OUTFILE TIMEOUT_SECONDS COMMAND [ARGS...]\n");
    return 2;
  }
  const char* out_path = argv[1];
  double limit = std::atof(argv[2]);
  if (limit <= 0) {
    std::fprintf(stderr, "measure: bad timeout %s\n", argv[2]);
    return 2;
  }
  double start = now_seconds();
  pid_t child = fork();
  if (child < 0) {
    std::perror("measure: fork");
    return 1;
  }
  if (child == 0) {
    execvp(argv[3], argv + 3);
    std::perror("measure: exec");
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  // The time limit is an alarm whose handler kills the child; waiting itself
  // blocks, so the measuring process costs no CPU while the child runs.
  child_pid = child;
  struct sigaction on_alarm {};
  on_alarm.sa_handler = kill_child;
  sigaction(SIGALRM, &on_alarm, nullptr);
  alarm(static_cast<unsigned>(limit + 0.999));
  while (wait4(child, &status, 0, &usage) != child) {
    if (errno != EINTR) {
      std::perror("measure: wait4");
      return 1;
    }
  }
  alarm(0);
  bool killed = timed_out != 0;
  double wall = now_seconds() - start;
  int code = killed ? 124 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE* out = std::fopen(out_path, "a");
  if (!out) {
    std::perror("measure: output file");
    return 1;
  }
  std::fprintf(out, "%.6f %.6f %.6f %ld %d\n", wall, seconds_of(usage.ru_utime),
               seconds_of(usage.ru_stime), usage.ru_maxrss, code);
  std::fclose(out);
  return code;
}
