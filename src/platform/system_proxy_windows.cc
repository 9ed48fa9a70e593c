#include <windows.h>
#include <winhttp.h>

#include <memory>

#include "platform/system_proxy.h"
#include "platform/windows_text.h"

namespace corvane {
namespace {

// Each of resolving, connecting, sending and receiving, when a lookup
// fetches an automatic configuration script.
constexpr int kLookupTimeoutMilliseconds = 10000;

// A text WinHTTP allocated for the caller, freed with GlobalFree.
struct GlobalFreer {
  void operator()(wchar_t* text) const { GlobalFree(text); }
};
using GlobalText = std::unique_ptr<wchar_t, GlobalFreer>;

struct InternetCloser {
  void operator()(void* handle) const { WinHttpCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

std::string textOf(const GlobalText& text) { return windows::narrow(text.get()); }

// The reason for a WinHTTP error of automatic configuration.
std::string autoProxyError(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_AUTODETECTION_FAILED:
      return "no automatic configuration script was found";
    case ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT:
      return "the automatic configuration script could not be downloaded";
    case ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT:
      return "the automatic configuration script failed";
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
      return "the automatic configuration script's URL has an unknown scheme";
    case ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR:
      return "the automatic proxy service failed";
    default:
      return windows::errorText(error);
  }
}

WINHTTP_AUTOPROXY_OPTIONS optionsFor(AutoProxyMethod method, const std::wstring& scriptUrl) {
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (method == AutoProxyMethod::kDetect) {
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  } else {
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl.c_str();
  }
  // A script server that asks who is there gets the logged-on user.
  options.fAutoLogonIfChallenged = TRUE;
  return options;
}

// The current user's settings and automatic configuration through WinHTTP.
// One session for the whole run, so that a script is fetched once.
class WinHttpSystemProxy final : public SystemProxy {
 public:
  bool userSettings(SystemProxySettings& settings) override {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return false;
    GlobalText autoConfigUrl(config.lpszAutoConfigUrl);
    GlobalText proxy(config.lpszProxy);
    GlobalText bypass(config.lpszProxyBypass);
    settings.autoDetect = config.fAutoDetect != FALSE;
    settings.autoConfigUrl = textOf(autoConfigUrl);
    settings.proxy = textOf(proxy);
    settings.bypass = textOf(bypass);
    return true;
  }

  bool automaticProxy(const std::string& url, AutoProxyMethod method, const std::string& scriptUrl,
                      SystemProxyAnswer& answer, std::string& why) override {
    if (!session_) {
      session_.reset(WinHttpOpen(L"corvane-upload", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
      // A script server that never answers holds the lookup, and the run,
      // for a bounded time only.
      if (session_ && !WinHttpSetTimeouts(session_.get(), kLookupTimeoutMilliseconds,
                                          kLookupTimeoutMilliseconds, kLookupTimeoutMilliseconds,
                                          kLookupTimeoutMilliseconds)) {
        why = windows::errorText(GetLastError());
        session_.reset();
        return false;
      }
    }
    if (!session_) {
      why = windows::errorText(GetLastError());
      return false;
    }
    const std::wstring script = windows::widen(scriptUrl);
    const std::wstring target = windows::widen(url);
    WINHTTP_AUTOPROXY_OPTIONS options = optionsFor(method, script);
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetProxyForUrl(session_.get(), target.c_str(), &options, &info)) {
      why = autoProxyError(GetLastError());
      return false;
    }
    GlobalText proxy(info.lpszProxy);
    GlobalText bypass(info.lpszProxyBypass);
    answer.proxy = textOf(proxy);
    answer.bypass = textOf(bypass);
    answer.direct = info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || answer.proxy.empty();
    return true;
  }

 private:
  InternetHandle session_;
};

}  // namespace

SystemProxy& systemProxy() {
  static WinHttpSystemProxy system;
  return system;
}

}  // namespace corvane
