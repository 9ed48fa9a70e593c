#pragma once

// A TLS front for the stand-in: takes HTTPS on a free loopback port with a
// certificate made at test time and relays the decrypted bytes to a plain
// HTTP port, so that the stand-in itself answers requests sent over HTTPS.

#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/tls_test_server.h"

namespace corvane::e2e {

class TlsFront {
 public:
  TlsFront(const testing::TestCertificate& identity, int upstreamPort)
      : upstreamPort_(upstreamPort), context_(SSL_CTX_new(TLS_server_method()), &SSL_CTX_free) {
    if (!context_ || SSL_CTX_use_certificate(context_.get(), identity.cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(context_.get(), identity.key.get()) != 1) {
      return;
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptAll(); });
  }
  ~TlsFront() {
    stopping_ = true;
    if (listener_ >= 0) {
      ::shutdown(listener_, SHUT_RDWR);
      ::close(listener_);
    }
    if (acceptor_.joinable()) acceptor_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::thread& connection : connections_) connection.join();
  }
  TlsFront(const TlsFront&) = delete;
  TlsFront& operator=(const TlsFront&) = delete;

  bool running() const { return port_ > 0; }
  int port() const { return port_; }
  std::string baseUrl() const { return "https://127.0.0.1:" + std::to_string(port_); }
  // Connections whose TLS handshake completed.
  int handshakes() const { return handshakes_.load(); }

 private:
  static sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }

  void acceptAll() {
    while (!stopping_) {
      int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      std::lock_guard<std::mutex> lock(mutex_);
      connections_.emplace_back([this, client] { serve(client); });
    }
  }

  void serve(int client) {
    std::unique_ptr<SSL, decltype(&SSL_free)> tls(SSL_new(context_.get()), &SSL_free);
    SSL_set_fd(tls.get(), client);
    if (SSL_accept(tls.get()) == 1) {
      handshakes_.fetch_add(1);
      int upstream = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address = loopback(upstreamPort_);
      if (::connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        relay(tls.get(), client, upstream);
      }
      ::close(upstream);
      SSL_shutdown(tls.get());
    }
    ::close(client);
  }

  // Decrypted bytes one way, plain bytes the other, until either side ends.
  static void relay(SSL* tls, int client, int upstream) {
    char buffer[16384];
    for (;;) {
      if (SSL_pending(tls) == 0) {
        pollfd fds[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
        if (::poll(fds, 2, 30000) <= 0) return;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
          ssize_t got = ::read(upstream, buffer, sizeof buffer);
          if (got <= 0 || SSL_write(tls, buffer, static_cast<int>(got)) <= 0) return;
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      }
      int got = SSL_read(tls, buffer, sizeof buffer);
      if (got <= 0) {
        if (SSL_get_error(tls, got) == SSL_ERROR_WANT_READ) continue;
        return;
      }
      if (::write(upstream, buffer, static_cast<size_t>(got)) != got) return;
    }
  }

  int upstreamPort_;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> handshakes_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> connections_;
};

}  // namespace corvane::e2e
