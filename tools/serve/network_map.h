// Writes the machine's network map: the services' host names to the port they listen on.
#pragma once

#include <string>
#include <vector>

namespace kxserve {

// Sets "network" in <machine>/machine.json: routes "<host>:443" of each host name to
// 127.0.0.1:port and "ca_file" to ca_file. Every other fact (and every other route) is
// kept; the file is replaced atomically.
bool WriteNetworkMap(const std::string& machine_root, const std::vector<std::string>& hosts,
                     int port, const std::string& ca_file, std::string* error);

}  // namespace kxserve
