#pragma once

// Helpers of the Windows platform files: paths are texts in the local code
// page, which is the ANSI code page (936 on a Chinese Windows) unless the
// configuration chose UTF-8; then the wide-character calls take them.
#include <windows.h>

#include <string>

namespace corvane::windows {

// True when paths are UTF-8 and go to the wide-character calls.
bool pathsAreUtf8();

// `text` from UTF-8 into UTF-16; empty when it is not valid UTF-8.
std::wstring widen(const std::string& text);

// `path` (local code page) as the wide-character calls take it: widened
// from UTF-8, or under GBK from the ANSI code page exactly as the ANSI calls
// would read it. A path too long for the classic limit of 260 characters is
// made absolute and given the long-path prefix ("\\?\", "\\?\UNC\"), so
// that every length works under either code page.
std::wstring widePath(const std::string& path);

// `wide` (UTF-16, NUL-terminated) in UTF-8; empty for nullptr.
std::string narrow(const wchar_t* wide);

// The reason for a Win32 error code, in the words the C runtime uses for
// the same condition ("No such file or directory", "Permission denied", ...),
// so that both systems name a failure alike.
std::string errorText(DWORD error);

// Sleeps `milliseconds`, or less when a stop is raised meanwhile
// (stop_signals_windows.cc).
void sleepUnlessStopped(DWORD milliseconds);

}  // namespace corvane::windows
