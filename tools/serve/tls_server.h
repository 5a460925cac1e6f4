// A small HTTPS/1.1 server on loopback: one thread per connection, one request per
// connection (Content-Length bodies), answered and closed.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kxserve {

struct HttpRequest {
  std::string method;
  std::string target;                     // as sent: path and query
  std::string path;                       // the target without its query
  std::vector<std::string> header_lines;  // raw lines in arrival order, without line ends
  std::string body;

  // The value of the first header of that name (names compare case-insensitively),
  // without surrounding blanks; empty when absent.
  std::string Header(std::string_view name) const;
};

struct HttpReply {
  int status = 200;
  std::string content_type = "text/plain";
  std::string body;
  int delay_ms = 0;           // wait this long before answering
  bool never_answer = false;  // hold the connection unanswered until the client leaves
};

using RequestHandler = std::function<HttpReply(const HttpRequest&)>;

// A flag that poll() can wait on: set once, from any thread or a signal handler.
class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  bool ok() const { return read_fd_ >= 0; }
  // Async-signal-safe.
  void Set() const;
  bool IsSet() const;
  int fd() const { return read_fd_; }
  int write_fd() const { return write_fd_; }

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
};

class TlsServer {
 public:
  TlsServer();
  ~TlsServer();
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  // Loads the certificate and key and listens on 127.0.0.1:port (0: any free port).
  bool Listen(int port, const std::string& cert_file, const std::string& key_file,
              std::string* error);
  int port() const { return port_; }

  // Accepts and serves connections until stop is set, then waits for every connection.
  void Serve(const RequestHandler& handler, const StopSignal& stop);

 private:
  struct State;
  std::unique_ptr<State> state_;
  int port_ = 0;
};

}  // namespace kxserve
