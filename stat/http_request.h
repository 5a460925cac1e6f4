// The synchronous HTTPS exchange behind every request to the maker's services.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Kx {

// What to send. Callers set the URL, the method and the body, and where needed the limits.
struct KxHttpRequest {
  KxHttpRequest();

  std::u16string url;                          // full URL including scheme and path
  int32_t method = 0;                          // 1 is POST, any other value GET
  std::string body;                            // the POST body, sent byte for byte
  int32_t connect_timeout = 3;                 // seconds to establish the connection
  int32_t timeout = 3;                         // seconds for the whole exchange
  std::vector<std::string> extra_headers;      // whole lines, after the mapped headers
  std::map<std::string, std::string> headers;  // sent as name:value, in key order
};

// One exchange: a copy of the request plus the response collected so far. Made on the
// stack for each request and used by one thread.
class KxHttpClient {
 public:
  // Most response bytes kept; a longer reply aborts the exchange as a failure.
  static constexpr size_t kMaxResponseBytes = 1 << 20;

  explicit KxHttpClient(const KxHttpRequest& request);
  ~KxHttpClient();
  KxHttpClient(const KxHttpClient&) = delete;
  KxHttpClient& operator=(const KxHttpClient&) = delete;

  // Performs the exchange: 0 when the transfer succeeded (whatever the HTTP status),
  // 1 on any failure. The received body bytes are copied into *response in both cases,
  // except when no transfer handle could be made (then *response is untouched).
  int32_t Perform(std::string* response);

 private:
  static size_t OnWrite(char* data, size_t size, size_t count, void* user);

  KxHttpRequest request_;
  std::string response_;
};

}  // namespace Kx
