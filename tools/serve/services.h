// The maker's services as one request handler: a table of endpoints keyed by path, the
// log of every request received, and the fault modes that tests choose.
#pragma once

#include <json/value.h>

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "tools/serve/tls_server.h"

namespace kxserve {

enum class Fault { kNone, kSlow, kHang, kError500, kGarbage, kOversized, kWrongCert };

// "slow", "hang", "error500", "garbage", "oversized", "wrong-cert" (and "none").
bool ParseFault(std::string_view name, Fault* fault);

// What the services answer in the fault modes that answer wrongly.
inline constexpr char kError500Body[] = "internal error: the service is out of order\n";
inline constexpr size_t kOversizedBytes = 2 * 1024 * 1024;
inline constexpr int kSlowDelayMs = 2000;

class Services {
 public:
  // Requests are appended to log_path (one JSON object a line).
  Services(std::string log_path, Fault fault);

  // Thread-safe: called by every connection thread.
  HttpReply Handle(const HttpRequest& request);

 private:
  struct Endpoint {
    // The body as the endpoint reads it; nothing when it is not a JSON document.
    std::function<std::optional<Json::Value>(const std::string& body)> decode;
    // The answer to a request, given its decoded body.
    std::function<HttpReply(const HttpRequest&, const std::optional<Json::Value>&)> answer;
  };

  void AddStatisticsEndpoints();
  void Log(const HttpRequest& request, const std::optional<Json::Value>& body);
  HttpReply FaultReply() const;

  const std::string log_path_;
  const Fault fault_;
  std::mutex log_mutex_;
  // Keyed by path. The marketing endpoint and the offer pages join this table.
  std::map<std::string, Endpoint, std::less<>> endpoints_;
};

// Checks a decrypted statistics body against the layout of its path ("/st/pdf_c_click" or
// "/st/pdf_c_0"); false with the first fault found.
bool CheckStatisticsBody(std::string_view path, const Json::Value& body, std::string* why);

}  // namespace kxserve
