#include "tools/serve/tls_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <list>
#include <thread>

namespace kxserve {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxConnections = 64;
constexpr size_t kMaxHeaderBytes = 64 * 1024;
constexpr size_t kMaxBodyBytes = 16 * 1024 * 1024;
constexpr size_t kWriteChunk = 16 * 1024;
constexpr auto kHandshakeLimit = std::chrono::seconds(10);
constexpr auto kRequestLimit = std::chrono::seconds(30);
constexpr auto kReplyLimit = std::chrono::seconds(30);
// How long an unanswered connection is held at most when its client never leaves.
constexpr auto kHoldLimit = std::chrono::minutes(10);

struct SslDeleter {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct CtxDeleter {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};

class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ~ScopedFd() { Reset(); }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

bool EqualsNoCaseAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 413:
      return "Payload Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    default:
      return "Status";
  }
}

// One accepted TLS connection on a non-blocking socket; every wait also ends when the
// server stops or the deadline passes.
class Connection {
 public:
  Connection(int fd, SSL* ssl, int stop_fd) : fd_(fd), ssl_(ssl), stop_fd_(stop_fd) {}

  bool Handshake(Clock::time_point deadline) {
    for (;;) {
      ERR_clear_error();
      int r = SSL_accept(ssl_.get());
      if (r == 1) return true;
      if (!WaitAfter(r, deadline)) return false;
    }
  }

  // Some bytes into buffer: their count, 0 when the peer closed, -1 on failure or time-out.
  long Read(char* buffer, size_t size, Clock::time_point deadline) {
    for (;;) {
      ERR_clear_error();
      int r = SSL_read(ssl_.get(), buffer, static_cast<int>(size));
      if (r > 0) return r;
      int error = SSL_get_error(ssl_.get(), r);
      if (error == SSL_ERROR_ZERO_RETURN) return 0;
      // A peer that closes without a TLS goodbye has left all the same.
      if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return 0;
      if (!WaitAfter(r, deadline)) return -1;
    }
  }

  bool Write(std::string_view data, Clock::time_point deadline) {
    while (!data.empty()) {
      const int chunk = static_cast<int>(std::min(data.size(), kWriteChunk));
      ERR_clear_error();
      int r = SSL_write(ssl_.get(), data.data(), chunk);
      if (r > 0) {
        data.remove_prefix(static_cast<size_t>(r));
        continue;
      }
      if (!WaitAfter(r, deadline)) return false;
    }
    return true;
  }

  // Waits for the client to leave (or the limit, or the server's stop), discarding input.
  void HoldUntilClosed(Clock::time_point deadline) {
    char sink[4096];
    while (Read(sink, sizeof(sink), deadline) > 0) {
    }
  }

  // Waits for the stop signal or the end of the delay; false when the server stopped.
  bool Pause(int delay_ms) {
    pollfd p = {stop_fd_, POLLIN, 0};
    return ::poll(&p, 1, delay_ms) == 0;
  }

  void Close() {
    ERR_clear_error();
    SSL_shutdown(ssl_.get());  // best effort; the socket closes either way
  }

 private:
  // After an SSL call that returned r: waits for what it wants. False on a real failure.
  bool WaitAfter(int r, Clock::time_point deadline) {
    int error = SSL_get_error(ssl_.get(), r);
    short events;
    if (error == SSL_ERROR_WANT_READ) {
      events = POLLIN;
    } else if (error == SSL_ERROR_WANT_WRITE) {
      events = POLLOUT;
    } else {
      return false;
    }
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd p[2] = {{fd_.get(), events, 0}, {stop_fd_, POLLIN, 0}};
      int n = ::poll(p, 2, static_cast<int>(std::min<long long>(left.count(), 1000 * 60)));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || (p[1].revents & POLLIN)) return false;
      if (n > 0) return true;
    }
  }

  ScopedFd fd_;
  std::unique_ptr<SSL, SslDeleter> ssl_;
  int stop_fd_;
};

std::string StatusLine(int status) {
  return "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
}

std::string FormatReply(const HttpReply& reply) {
  std::string out = StatusLine(reply.status);
  out += "Content-Type: " + reply.content_type + "\r\n";
  out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  out += "Connection: close\r\n\r\n";
  out += reply.body;
  return out;
}

HttpReply PlainReply(int status, std::string body) {
  HttpReply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

// Parses the request line and header lines of head (without the blank line).
bool ParseHead(std::string_view head, HttpRequest* request) {
  std::vector<std::string_view> lines;
  while (!head.empty()) {
    size_t end = head.find('\n');
    std::string_view line = head.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    head.remove_prefix(end + 1);
  }
  if (lines.empty()) return false;
  std::string_view first = lines.front();
  size_t sp1 = first.find(' ');
  size_t sp2 = first.rfind(' ');
  if (sp1 == std::string_view::npos || sp2 == sp1) return false;
  request->method = first.substr(0, sp1);
  request->target = first.substr(sp1 + 1, sp2 - sp1 - 1);
  if (first.substr(sp2 + 1).rfind("HTTP/1.", 0) != 0 || request->target.empty()) return false;
  request->path = request->target.substr(0, request->target.find('?'));
  for (size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].find(':') == std::string_view::npos) return false;
    request->header_lines.emplace_back(lines[i]);
  }
  return true;
}

// Serves the one request of a connection.
void Converse(Connection& conn, const RequestHandler& handler) {
  if (!conn.Handshake(Clock::now() + kHandshakeLimit)) return;
  const auto request_deadline = Clock::now() + kRequestLimit;
  const auto answer = [&](const HttpReply& reply) {
    conn.Write(FormatReply(reply), Clock::now() + kReplyLimit);
    conn.Close();
  };

  std::string data;
  size_t head_end = std::string::npos;
  char buffer[16 * 1024];
  while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
    if (data.size() > kMaxHeaderBytes) return answer(PlainReply(431, "header too large\n"));
    long n = conn.Read(buffer, sizeof(buffer), request_deadline);
    if (n <= 0) return;
    data.append(buffer, static_cast<size_t>(n));
  }

  HttpRequest request;
  if (!ParseHead(std::string_view(data).substr(0, head_end), &request))
    return answer(PlainReply(400, "malformed request\n"));
  if (!request.Header("Transfer-Encoding").empty())
    return answer(PlainReply(501, "only Content-Length bodies are served\n"));
  size_t length = 0;
  const std::string length_text = request.Header("Content-Length");
  if (!length_text.empty()) {
    auto [end, error] =
        std::from_chars(length_text.data(), length_text.data() + length_text.size(), length);
    if (error != std::errc() || end != length_text.data() + length_text.size())
      return answer(PlainReply(400, "bad Content-Length\n"));
  }
  if (length > kMaxBodyBytes) return answer(PlainReply(413, "body too large\n"));
  if (EqualsNoCaseAscii(request.Header("Expect"), "100-continue") &&
      !conn.Write(StatusLine(100) + "\r\n", Clock::now() + kReplyLimit))
    return;

  request.body = data.substr(head_end + 4);
  while (request.body.size() < length) {
    long n = conn.Read(buffer, sizeof(buffer), request_deadline);
    if (n <= 0) return;
    request.body.append(buffer, static_cast<size_t>(n));
  }
  request.body.resize(length);

  HttpReply reply = handler(request);
  if (reply.never_answer) return conn.HoldUntilClosed(Clock::now() + kHoldLimit);
  if (reply.delay_ms > 0 && !conn.Pause(reply.delay_ms)) return;
  answer(reply);
}

}  // namespace

std::string HttpRequest::Header(std::string_view name) const {
  for (const std::string& line : header_lines) {
    size_t colon = line.find(':');
    if (colon != std::string::npos &&
        EqualsNoCaseAscii(TrimBlanks(std::string_view(line).substr(0, colon)), name))
      return std::string(TrimBlanks(std::string_view(line).substr(colon + 1)));
  }
  return std::string();
}

StopSignal::StopSignal() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    read_fd_ = fds[0];
    write_fd_ = fds[1];
  }
}

StopSignal::~StopSignal() {
  if (read_fd_ >= 0) ::close(read_fd_);
  if (write_fd_ >= 0) ::close(write_fd_);
}

void StopSignal::Set() const {
  // The byte is never read, so the read end stays readable for every waiter.
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(write_fd_, &byte, 1);
}

bool StopSignal::IsSet() const {
  pollfd p = {read_fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

struct TlsServer::State {
  std::unique_ptr<SSL_CTX, CtxDeleter> ctx;
  ScopedFd listener;
};

TlsServer::TlsServer() : state_(new State) {}

TlsServer::~TlsServer() = default;

bool TlsServer::Listen(int port, const std::string& cert_file, const std::string& key_file,
                       std::string* error) {
  state_->ctx.reset(SSL_CTX_new(TLS_server_method()));
  SSL_CTX* ctx = state_->ctx.get();
  if (!ctx || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_use_certificate_chain_file(ctx, cert_file.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1) {
    *error = "cannot load " + cert_file + " and " + key_file;
    return false;
  }

  state_->listener.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int fd = state_->listener.get();
  const int on = 1;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(port);
    return false;
  }
  port_ = ntohs(address.sin_port);
  return true;
}

void TlsServer::Serve(const RequestHandler& handler, const StopSignal& stop) {
  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  std::list<Worker> workers;
  const auto reap = [&workers](bool all) {
    for (auto it = workers.begin(); it != workers.end();) {
      if (all || it->done.load()) {
        it->thread.join();
        it = workers.erase(it);
      } else {
        ++it;
      }
    }
  };

  const int listener = state_->listener.get();
  for (;;) {
    pollfd p[2] = {{listener, POLLIN, 0}, {stop.fd(), POLLIN, 0}};
    int n = ::poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (p[1].revents & POLLIN)) break;
    int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) continue;
    reap(false);
    SSL* ssl = workers.size() < kMaxConnections ? SSL_new(state_->ctx.get()) : nullptr;
    if (!ssl || SSL_set_fd(ssl, client) != 1) {
      SSL_free(ssl);
      ::close(client);
      continue;
    }
    Worker& worker = workers.emplace_back();
    worker.thread = std::thread([&handler, &stop, &worker, client, ssl] {
      Connection conn(client, ssl, stop.fd());
      Converse(conn, handler);
      worker.done.store(true);
    });
  }
  reap(true);
}

}  // namespace kxserve
