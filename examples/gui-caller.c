/* gui-caller: how a Windows program without a console drives corvane-upload.
 *
 *   gui-caller UPLOADER CONFIG PROGRESSFILE STOPFILE RESULTFILE [WHEN]
 *
 * UPLOADER is the path of corvane-upload.exe; CONFIG its configuration, whose
 * "progressfile", "stopfile" and "output" are PROGRESSFILE, STOPFILE and
 * RESULTFILE. WHEN says when to stop the upload: a phase of the progress file
 * ("parts", the default) or a number of seconds; "never" lets it finish.
 *
 * The uploader is started without a console (CREATE_NO_WINDOW) and with its
 * standard output and standard error sent to NUL: a pipe nobody reads would
 * fill and block it. The progress file is read five times a second and every
 * change is printed as one line "progress: phase=... bytes=... total=...".
 * The stop is a file created at STOPFILE; the uploader then ends the run
 * cleanly (result "upload cancelled!", progress "cancelled", exit status 0).
 * Last, the exit status and the result file are printed. The stop file is
 * removed before the start and after the end: it is the caller's to manage.
 *
 * Build: x86_64-w64-mingw32-gcc -municode -o gui-caller.exe gui-caller.c
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

/* The whole of a small file (at most `size` - 1 bytes), or "" when missing. */
static void read_small_file(const wchar_t* path, char* text, size_t size) {
  text[0] = '\0';
  FILE* file = _wfopen(path, L"rb");
  if (file == NULL) return;
  size_t length = fread(text, 1, size - 1, file);
  text[length] = '\0';
  fclose(file);
}

/* The value of the JSON member `name` in `json` (a string's text, or a
 * number's digits), copied into `value`; "" when absent. Enough for the
 * progress file's flat object. */
static void member_of(const char* json, const char* name, char* value, size_t size) {
  char key[64];
  snprintf(key, sizeof key, "\"%s\":", name);
  value[0] = '\0';
  const char* at = strstr(json, key);
  if (at == NULL) return;
  at += strlen(key);
  if (*at == '"') ++at;
  size_t length = strcspn(at, "\",}");
  if (length >= size) length = size - 1;
  memcpy(value, at, length);
  value[length] = '\0';
}

/* Starts `uploader -cfg config` without a console, output to NUL. */
static BOOL start_uploader(const wchar_t* uploader, const wchar_t* config, PROCESS_INFORMATION* process) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit, OPEN_EXISTING, 0, NULL);
  if (nul == INVALID_HANDLE_VALUE) return FALSE;
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = nul;
  startup.hStdError = nul;
  wchar_t command[4 * MAX_PATH + 64];
  _snwprintf(command, sizeof command / sizeof command[0] - 1, L"\"%ls\" -cfg \"%ls\"", uploader, config);
  command[sizeof command / sizeof command[0] - 1] = L'\0';
  BOOL started = CreateProcessW(uploader, command, NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL, NULL,
                                &startup, process);
  CloseHandle(nul);
  return started;
}

/* Creates the stop file (any content does). */
static void send_stop(const wchar_t* stop_file) {
  FILE* file = _wfopen(stop_file, L"wb");
  if (file != NULL) {
    fputs("stop\n", file);
    fclose(file);
  }
  printf("stop file created\n");
  fflush(stdout);
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: gui-caller UPLOADER CONFIG PROGRESSFILE STOPFILE RESULTFILE [PHASE|SECONDS|never]\n");
    return 2;
  }
  const wchar_t* when = argc > 6 ? argv[6] : L"parts";
  const BOOL never = wcscmp(when, L"never") == 0;
  wchar_t* end = NULL;
  const long stop_seconds = wcstol(when, &end, 10);
  const BOOL by_time = *end == L'\0' && end != when;
  char stop_phase[32];
  snprintf(stop_phase, sizeof stop_phase, "%ls", when);

  DeleteFileW(argv[4]);
  PROCESS_INFORMATION process;
  if (!start_uploader(argv[1], argv[2], &process)) {
    fprintf(stderr, "cannot start the uploader: error %lu\n", GetLastError());
    return 1;
  }
  printf("uploader started (process %lu)\n", process.dwProcessId);
  fflush(stdout);

  const ULONGLONG started = GetTickCount64();
  BOOL stop_sent = FALSE;
  char last[4096] = "";
  for (;;) {
    const BOOL ended = WaitForSingleObject(process.hProcess, 200) == WAIT_OBJECT_0;
    char progress[4096];
    read_small_file(argv[3], progress, sizeof progress);
    if (progress[0] != '\0' && strcmp(progress, last) != 0) {
      char phase[32], bytes[32], total[32];
      member_of(progress, "phase", phase, sizeof phase);
      member_of(progress, "bytes", bytes, sizeof bytes);
      member_of(progress, "total", total, sizeof total);
      printf("progress: phase=%s bytes=%s total=%s\n", phase, bytes, total);
      fflush(stdout);
      strcpy(last, progress);
      if (!never && !by_time && !stop_sent && strcmp(phase, stop_phase) == 0) {
        send_stop(argv[4]);
        stop_sent = TRUE;
      }
    }
    if (ended) break;
    if (!never && by_time && !stop_sent && GetTickCount64() - started >= (ULONGLONG)stop_seconds * 1000) {
      send_stop(argv[4]);
      stop_sent = TRUE;
    }
  }

  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  DeleteFileW(argv[4]);
  char result[4096];
  read_small_file(argv[5], result, sizeof result);
  printf("exit status: %ld\n", (long)status);
  printf("result: %s\n", result[0] != '\0' ? result : "(none)");
  return 0;
}
