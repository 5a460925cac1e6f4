#include "stat/http_request.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <string_view>

#include "base/strings.h"
#include "win32/network.h"

namespace Kx {
namespace {

constexpr char kPostMethod[] = "POST";
constexpr char kGetMethod[] = "GET";

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlStringDeleter {
  void operator()(char* text) const { curl_free(text); }
};
using ScopedEasy = std::unique_ptr<CURL, EasyDeleter>;
using ScopedUrl = std::unique_ptr<CURLU, UrlDeleter>;
using ScopedCurlString = std::unique_ptr<char, CurlStringDeleter>;

// A libcurl string list that frees itself.
class ScopedList {
 public:
  ScopedList() = default;
  ~ScopedList() { curl_slist_free_all(list_); }
  ScopedList(const ScopedList&) = delete;
  ScopedList& operator=(const ScopedList&) = delete;

  // False when the line could not be added (the list stays as it was).
  bool Append(const std::string& line) {
    curl_slist* grown = curl_slist_append(list_, line.c_str());
    if (!grown) return false;
    list_ = grown;
    return true;
  }
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

// The verbose trace has no reader in a windowed program, so it is dropped rather than
// written to the standard error of a GUI process.
int DropTrace(CURL*, curl_infotype, char*, size_t, void*) { return 0; }

// The connect-to entry that sends the URL's host and port to the machine's route for them,
// so that the URL (and the name the certificate is checked against) stays the reserved
// name. False when the URL does not parse or the machine has no route for it.
bool RouteFor(const std::string& url, std::string* entry) {
  ScopedUrl parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
    return false;
  char* host_text = nullptr;
  char* port_text = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_HOST, &host_text, 0) != CURLUE_OK) return false;
  ScopedCurlString host(host_text);
  if (curl_url_get(parsed.get(), CURLUPART_PORT, &port_text, CURLU_DEFAULT_PORT) != CURLUE_OK)
    return false;
  ScopedCurlString port(port_text);
  std::string address;
  if (!win32::GetNetworkRoute(host.get(), std::atoi(port.get()), &address)) return false;
  *entry = std::string(host.get()) + ":" + port.get() + ":" + address;
  return true;
}

}  // namespace

KxHttpRequest::KxHttpRequest() {
  headers["Accept"] = "application/json";
  headers["Content-Type"] = "application/json";
  headers["charsets"] = "utf-8";
}

KxHttpClient::KxHttpClient(const KxHttpRequest& request) : request_(request) {}

KxHttpClient::~KxHttpClient() = default;

size_t KxHttpClient::OnWrite(char* data, size_t size, size_t count, void* user) {
  const size_t bytes = size * count;
  if (!user) return bytes;
  std::string& response = static_cast<KxHttpClient*>(user)->response_;
  // Returning fewer bytes than given makes libcurl abort the transfer with an error.
  if (bytes > kMaxResponseBytes - response.size()) return 0;
  response.append(data, bytes);
  return bytes;
}

int32_t KxHttpClient::Perform(std::string* response) {
  // The lists outlive the handle that points at them.
  ScopedList header_lines;
  ScopedList connect_to;
  ScopedEasy curl(curl_easy_init());
  if (!curl) return 1;
  CURL* handle = curl.get();
  const std::string url = WideToAnsi(request_.url, 0);

  if (request_.method == 1) {
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, kPostMethod);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request_.body.data());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(request_.body.size()));
  } else {
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, kGetMethod);
  }

  bool ready = true;
  for (const auto& [name, value] : request_.headers)
    ready = header_lines.Append(name + ":" + value) && ready;
  for (const std::string& line : request_.extra_headers) ready = header_lines.Append(line) && ready;

  std::string route;
  ready = RouteFor(url, &route) && connect_to.Append(route) && ready;
  const std::string ca_file = win32::GetTrustedCaFile();

  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, header_lines.get());
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, static_cast<long>(request_.connect_timeout));
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(request_.timeout));
  curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, DropTrace);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, OnWrite);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!ca_file.empty()) {
    // The machine's CA file is the whole trust: the host's certificate folder is not used.
    curl_easy_setopt(handle, CURLOPT_CAINFO, ca_file.c_str());
    curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
  }
  // The machine reaches the maker only through its network map, never a host proxy.
  curl_easy_setopt(handle, CURLOPT_PROXY, "");
  curl_easy_setopt(handle, CURLOPT_CONNECT_TO, connect_to.get());

  // A host the machine has no route to is unreachable: nothing is sent.
  const CURLcode result = ready ? curl_easy_perform(handle) : CURLE_COULDNT_CONNECT;
  *response = response_;
  return result == CURLE_OK ? 0 : 1;
}

}  // namespace Kx
