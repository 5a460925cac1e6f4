#include "tools/serve/network_map.h"

#include <json/reader.h>
#include <json/writer.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>

namespace kxserve {

bool WriteNetworkMap(const std::string& machine_root, const std::vector<std::string>& hosts,
                     int port, const std::string& ca_file, std::string* error) {
  const std::string path = machine_root + "/machine.json";
  Json::Value config;
  {
    std::ifstream in(path);
    Json::CharReaderBuilder builder;
    std::string errors;
    if (!in || !Json::parseFromStream(builder, in, &config, &errors) || !config.isObject()) {
      *error = path + " is not a machine's facts file";
      return false;
    }
  }

  Json::Value& network = config["network"];
  if (!network.isObject()) network = Json::Value(Json::objectValue);
  Json::Value& routes = network["routes"];
  if (!routes.isObject()) routes = Json::Value(Json::objectValue);
  for (const std::string& host : hosts) routes[host + ":443"] = "127.0.0.1:" + std::to_string(port);
  network["ca_file"] = ca_file;

  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  const std::string text = Json::writeString(writer, config) + "\n";
  const std::string temp = path + ".kxserve." + std::to_string(::getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(text.data(), static_cast<std::streamsize>(text.size())) ||
        !out.flush()) {
      ::unlink(temp.c_str());
      *error = "cannot write " + temp;
      return false;
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    *error = "cannot replace " + path;
    return false;
  }
  return true;
}

}  // namespace kxserve
