#include "tools/serve/pki.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>

namespace kxserve {
namespace {

constexpr long kCaDays = 3650;
constexpr long kServerDays = 1825;
// A certificate closer than this to its end is made again rather than reused.
constexpr long kMinRemainingSeconds = 7 * 24 * 3600;

struct X509Deleter {
  void operator()(X509* x) const { X509_free(x); }
};
struct KeyDeleter {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioDeleter {
  void operator()(BIO* b) const { BIO_free_all(b); }
};
struct BnDeleter {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
struct ExtDeleter {
  void operator()(X509_EXTENSION* e) const { X509_EXTENSION_free(e); }
};
using ScopedX509 = std::unique_ptr<X509, X509Deleter>;
using ScopedKey = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using ScopedBio = std::unique_ptr<BIO, BioDeleter>;
using ScopedBn = std::unique_ptr<BIGNUM, BnDeleter>;
using ScopedExt = std::unique_ptr<X509_EXTENSION, ExtDeleter>;

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool WriteFileAtomically(const std::string& path, const std::string& bytes, mode_t mode) {
  const std::string temp = path + ".tmp." + std::to_string(::getpid());
  {
    ScopedFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (fd.get() < 0) return false;
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
      if (n < 0) {
        ::unlink(temp.c_str());
        return false;
      }
      done += static_cast<size_t>(n);
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

bool WriteCert(const std::string& path, X509* cert) {
  ScopedBio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return false;
  return WriteFileAtomically(path, BioText(bio.get()), 0644);
}

bool WriteKey(const std::string& path, EVP_PKEY* key) {
  ScopedBio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    return false;
  return WriteFileAtomically(path, BioText(bio.get()), 0600);
}

ScopedX509 ReadCert(const std::string& path) {
  ScopedBio bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) return nullptr;
  return ScopedX509(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

ScopedKey ReadKey(const std::string& path) {
  ScopedBio bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) return nullptr;
  return ScopedKey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

ScopedKey NewKey() { return ScopedKey(EVP_EC_gen("P-256")); }

bool AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
  ScopedExt ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str()));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

// A certificate for subject_cn with key's public half, signed by issuer (itself when null).
ScopedX509 MakeCert(const std::string& subject_cn, EVP_PKEY* key, X509* issuer,
                    EVP_PKEY* issuer_key, long days,
                    const std::vector<std::pair<int, std::string>>& extensions) {
  ScopedX509 cert(X509_new());
  if (!cert || X509_set_version(cert.get(), 2) != 1) return nullptr;

  unsigned char serial_bytes[16];
  if (RAND_bytes(serial_bytes, sizeof(serial_bytes)) != 1) return nullptr;
  serial_bytes[0] &= 0x7F;  // positive
  ScopedBn serial(BN_bin2bn(serial_bytes, sizeof(serial_bytes), nullptr));
  if (!serial || !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())))
    return nullptr;

  if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24 * 3600) ||
      !X509_time_adj_ex(X509_getm_notAfter(cert.get()), static_cast<int>(days), 0, nullptr))
    return nullptr;
  if (X509_set_pubkey(cert.get(), key) != 1) return nullptr;

  X509_NAME* subject = X509_get_subject_name(cert.get());
  const auto* cn = reinterpret_cast<const unsigned char*>(subject_cn.c_str());
  if (X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("kxmachine"), -1, -1,
                                 0) != 1 ||
      X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, cn, -1, -1, 0) != 1)
    return nullptr;
  X509* signer = issuer ? issuer : cert.get();
  if (X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) != 1) return nullptr;

  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, signer, cert.get(), nullptr, nullptr, 0);
  for (const auto& [nid, value] : extensions)
    if (!AddExtension(cert.get(), &ctx, nid, value)) return nullptr;

  if (X509_sign(cert.get(), issuer_key, EVP_sha256()) <= 0) return nullptr;
  return cert;
}

ScopedX509 MakeCa(const std::string& name, EVP_PKEY* key) {
  return MakeCert(name, key, nullptr, key, kCaDays,
                  {{NID_basic_constraints, "critical,CA:TRUE"},
                   {NID_key_usage, "critical,keyCertSign,cRLSign"},
                   {NID_subject_key_identifier, "hash"},
                   {NID_authority_key_identifier, "keyid:always"}});
}

ScopedX509 MakeServerCert(const std::vector<std::string>& hosts, EVP_PKEY* key, X509* ca,
                          EVP_PKEY* ca_key) {
  std::string san;
  for (const std::string& host : hosts) san += (san.empty() ? "DNS:" : ",DNS:") + host;
  return MakeCert(hosts.empty() ? "localhost" : hosts.front(), key, ca, ca_key, kServerDays,
                  {{NID_basic_constraints, "critical,CA:FALSE"},
                   {NID_key_usage, "critical,digitalSignature"},
                   {NID_ext_key_usage, "serverAuth"},
                   {NID_subject_alt_name, san},
                   {NID_subject_key_identifier, "hash"},
                   {NID_authority_key_identifier, "keyid:always"}});
}

bool StillValid(X509* cert) {
  time_t soon = ::time(nullptr) + kMinRemainingSeconds;
  return X509_cmp_time(X509_get0_notAfter(cert), &soon) > 0 &&
         X509_cmp_current_time(X509_get0_notBefore(cert)) < 0;
}

// True when cert was signed by ca, serves every host name, and has key.
bool Matches(X509* cert, X509* ca, EVP_PKEY* key, const std::vector<std::string>& hosts) {
  if (!cert || !ca || !StillValid(cert) || !StillValid(ca)) return false;
  if (X509_check_issued(ca, cert) != X509_V_OK) return false;
  if (X509_verify(cert, X509_get0_pubkey(ca)) != 1) return false;
  if (X509_check_private_key(cert, key) != 1) return false;
  for (const std::string& host : hosts)
    if (X509_check_host(cert, host.data(), host.size(), 0, nullptr) != 1) return false;
  return true;
}

bool Reusable(const PkiFiles& files, const std::vector<std::string>& hosts) {
  ScopedKey key = ReadKey(files.server_key);
  if (!key) return false;
  ScopedX509 ca = ReadCert(files.ca_cert);
  ScopedX509 server = ReadCert(files.server_cert);
  ScopedX509 foreign_ca = ReadCert(files.foreign_ca_cert);
  ScopedX509 foreign_server = ReadCert(files.foreign_server_cert);
  return Matches(server.get(), ca.get(), key.get(), hosts) &&
         Matches(foreign_server.get(), foreign_ca.get(), key.get(), hosts);
}

bool Make(const std::string& dir, const PkiFiles& files, const std::vector<std::string>& hosts) {
  ScopedKey ca_key = NewKey();
  ScopedKey foreign_key = NewKey();
  ScopedKey server_key = NewKey();
  if (!ca_key || !foreign_key || !server_key) return false;
  ScopedX509 ca = MakeCa("kxmachine CA", ca_key.get());
  ScopedX509 foreign_ca = MakeCa("Foreign CA", foreign_key.get());
  if (!ca || !foreign_ca) return false;
  ScopedX509 server = MakeServerCert(hosts, server_key.get(), ca.get(), ca_key.get());
  ScopedX509 foreign_server =
      MakeServerCert(hosts, server_key.get(), foreign_ca.get(), foreign_key.get());
  if (!server || !foreign_server) return false;
  // The certificates go last, so that a half-made set never passes the reuse check.
  return WriteKey(dir + "/ca.key", ca_key.get()) &&
         WriteKey(dir + "/foreign-ca.key", foreign_key.get()) &&
         WriteKey(files.server_key, server_key.get()) && WriteCert(files.ca_cert, ca.get()) &&
         WriteCert(files.foreign_ca_cert, foreign_ca.get()) &&
         WriteCert(files.server_cert, server.get()) &&
         WriteCert(files.foreign_server_cert, foreign_server.get());
}

}  // namespace

bool EnsurePki(const std::string& dir, const std::vector<std::string>& host_names, PkiFiles* files,
               std::string* error) {
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot create " + dir;
    return false;
  }
  files->ca_cert = dir + "/ca.pem";
  files->server_cert = dir + "/server.pem";
  files->server_key = dir + "/server.key";
  files->foreign_ca_cert = dir + "/foreign-ca.pem";
  files->foreign_server_cert = dir + "/foreign-server.pem";

  // Services started together on one machine make the set once, not interleaved.
  const std::string lock_path = dir + "/.lock";
  ScopedFd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (lock.get() < 0 || ::flock(lock.get(), LOCK_EX) != 0) {
    *error = "cannot lock " + lock_path;
    return false;
  }
  if (Reusable(*files, host_names)) return true;
  if (!Make(dir, *files, host_names) || !Reusable(*files, host_names)) {
    *error = "cannot make the certificates in " + dir;
    return false;
  }
  return true;
}

}  // namespace kxserve
