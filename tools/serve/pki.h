// The certificates of the maker's services on a machine: the machine's CA, a server
// certificate it issued for the services' host names, and a foreign CA with its own server
// certificate for the same names (for the wrong-certificate fault). Kept under <machine>/pki/.
#pragma once

#include <string>
#include <vector>

namespace kxserve {

struct PkiFiles {
  std::string ca_cert;      // the machine's trusted CA (PEM)
  std::string server_cert;  // issued by the machine's CA
  std::string server_key;
  std::string foreign_ca_cert;  // a CA the machine does not trust
  std::string foreign_server_cert;
};

// Makes the certificates in dir on first use and reuses them afterwards (they are made
// again when one is missing, unreadable, expired or no longer matches). False with a reason
// when they can be neither read nor made.
bool EnsurePki(const std::string& dir, const std::vector<std::string>& host_names, PkiFiles* files,
               std::string* error);

}  // namespace kxserve
