#include "platform/windows_text.h"

#include <cerrno>
#include <cstring>

#include "text/local_codepage.h"

namespace corvane::windows {
namespace {

// The C runtime's error number for a Win32 error; 0 when there is none.
int errnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_DIRECTORY:  // "The directory name is invalid": not a directory
      return ENOTDIR;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    default:
      return 0;
  }
}

// Paths this long or longer get the long-path prefix: CreateDirectory's own
// limit (MAX_PATH less room for an 8.3 name), the lowest of the calls used.
constexpr size_t kClassicPathLimit = MAX_PATH - 12;

// `text` from the ANSI code page into UTF-16, as the ANSI calls convert it.
std::wstring widenFromAnsi(const std::string& text) {
  if (text.empty()) return {};
  const int inLength = static_cast<int>(text.size());
  int length = MultiByteToWideChar(CP_ACP, 0, text.data(), inLength, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), inLength, wide.data(), length);
  return wide;
}

// `path` made absolute (separators as backslashes, "." and ".." resolved,
// which the long-path prefix leaves undone) with that prefix.
std::wstring withLongPathPrefix(const std::wstring& path) {
  DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (length == 0) return path;
  std::wstring full(length, L'\0');
  length = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace

bool pathsAreUtf8() { return localCodepage() == LocalCodepage::kUtf8; }

std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                   static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                      wide.data(), length);
  return wide;
}

std::wstring widePath(const std::string& path) {
  std::wstring wide = pathsAreUtf8() ? widen(path) : widenFromAnsi(path);
  // "\\?\" and "\\.\" paths are taken as they stand.
  if (wide.size() < kClassicPathLimit || wide.rfind(L"\\\\?\\", 0) == 0 ||
      wide.rfind(L"\\\\.\\", 0) == 0) {
    return wide;
  }
  return withLongPathPrefix(wide);
}

std::string narrow(const wchar_t* wide) {
  if (!wide || !*wide) return {};
  int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return {};
  std::string text(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), length, nullptr, nullptr);
  text.resize(static_cast<size_t>(length - 1));  // without the NUL
  return text;
}

std::string errorText(DWORD error) {
  if (int number = errnoOf(error)) return std::strerror(number);
  return "Windows error " + std::to_string(error);
}

}  // namespace corvane::windows
