#include "win32/network.h"

#include <json/value.h>

#include <charconv>

#include "win32/machine.h"
#include "win32/unicode.h"

namespace win32 {
namespace {

Json::Value NetworkFact() {
  Machine* machine = CurrentMachine();
  if (!machine) return Json::Value();
  Json::Value config = machine->Config();
  const Json::Value& network = config["network"];
  return network.isObject() ? network : Json::Value();
}

// Splits "host:port" at its last colon; false when the port is not a decimal number.
bool SplitHostPort(const std::string& key, std::string* host, int* port) {
  size_t colon = key.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == key.size()) return false;
  const char* first = key.data() + colon + 1;
  const char* last = key.data() + key.size();
  auto [end, error] = std::from_chars(first, last, *port);
  if (error != std::errc() || end != last) return false;
  host->assign(key, 0, colon);
  return true;
}

}  // namespace

bool GetNetworkRoute(const std::string& host, int port, std::string* address) {
  const Json::Value network = NetworkFact();
  const Json::Value& routes = network["routes"];
  if (!routes.isObject()) return false;
  const std::u16string wanted = FromUtf8(host);
  for (const std::string& key : routes.getMemberNames()) {
    std::string route_host;
    int route_port = 0;
    if (!SplitHostPort(key, &route_host, &route_port) || route_port != port) continue;
    if (!EqualsNoCase(FromUtf8(route_host), wanted)) continue;
    const Json::Value& target = routes[key];
    if (!target.isString() || target.asString().empty()) continue;
    *address = target.asString();
    return true;
  }
  return false;
}

std::string GetTrustedCaFile() {
  const Json::Value network = NetworkFact();
  const Json::Value& file = network["ca_file"];
  return file.isString() ? file.asString() : std::string();
}

}  // namespace win32
