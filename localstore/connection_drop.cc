#include "connection_drop.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

namespace localstore {
namespace {

struct DirClose {
  void operator()(DIR* d) const { closedir(d); }
};

bool same_endpoint(const sockaddr_in& addr, const std::string& ip, int port) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return ntohs(addr.sin_port) == port && ip == text;
}

bool is_request_socket(int fd, const httplib::Request& req) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  sockaddr_in local{}, peer{};
  socklen_t len = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0 || local.sin_family != AF_INET) {
    return false;
  }
  len = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return false;
  return same_endpoint(local, req.local_addr, req.local_port) &&
         same_endpoint(peer, req.remote_addr, req.remote_port);
}

}  // namespace

bool drop_connection(const httplib::Request& req) {
  std::unique_ptr<DIR, DirClose> dir(opendir("/proc/self/fd"));
  if (!dir) return false;
  while (dirent* entry = readdir(dir.get())) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    if (is_request_socket(static_cast<int>(fd), req)) {
      return shutdown(static_cast<int>(fd), SHUT_RDWR) == 0;
    }
  }
  return false;
}

}  // namespace localstore
