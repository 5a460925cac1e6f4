// The machine's network map: which loopback address answers a host name and port of the
// maker's services, and which CA file the machine trusts. Read from the "network" fact of
// machine.json:
//   "network": {"routes": {"<host>:<port>": "127.0.0.1:<port>", ...},
//               "ca_file": "<host path of a PEM file>"}
#pragma once

#include <string>

namespace win32 {

// The "address:port" that answers host:port, matching host names case-insensitively.
// False (address untouched) when the machine has no route for it.
bool GetNetworkRoute(const std::string& host, int port, std::string* address);

// Host path of the PEM file of the certificates the machine trusts; empty when none.
std::string GetTrustedCaFile();

}  // namespace win32
