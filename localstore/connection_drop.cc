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

int find_request_socket(const httplib::Request& req) {
  std::unique_ptr<DIR, DirClose> dir(opendir("/proc/self/fd"));
  if (!dir) return -1;
  while (dirent* entry = readdir(dir.get())) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    if (is_request_socket(static_cast<int>(fd), req)) return static_cast<int>(fd);
  }
  return -1;
}

bool drop_connection(const httplib::Request& req) {
  int fd = find_request_socket(req);
  return fd >= 0 && shutdown(fd, SHUT_RDWR) == 0;
}

}  // namespace localstore
