// The key store: the key containers that key generation creates and sessions sign with, and
// further certificates that searches see.
//
//   <root>/containers/<name, percent-encoded>/key.pem    the private key, PKCS#8, mode 0600
//                                            /cert.pem   its certificate, once known
//                                            /request.pem, container.ini
//   <root>/certs/*                           certificates (PEM or DER), one a file
//
// Files are written to a temporary file (0600, O_EXCL) and published under their name
// without ever replacing an existing file, so that a reader sees a whole file or none and
// nothing is overwritten. A key is found by the public key of a certificate, never by name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OpenSslPtr.h"

namespace dravik::plugin {

// The parts of a new container; the key is PKCS#8 PEM.
struct TNewContainer {
  std::string_view keyPem;
  std::string_view requestPem;
  std::string_view metadata;
};

struct TFoundKey {
  std::string container;  // the container's name, decoded
  TEvpPkeyPtr key;
  bool hasCertificate = false;
};

// A certificate of the store: the name of its container, or "" for one of certs/.
struct TStoredCertificate {
  std::string container;
  TX509Ptr certificate;
};

class TKeyStore {
 public:
  explicit TKeyStore(std::string root) : root_(std::move(root)) {}

  // $DRAVIK_KEYSTORE, else $XDG_DATA_HOME/Dravik/KeyStore (XDG_DATA_HOME when absolute, else
  // ~/.local/share); "" when there is no home folder either, and then every operation that
  // needs the store fails with code 6.
  static std::string RootFromEnvironment();

  // The folder name of a container: every byte outside [A-Za-z0-9._{}-] as %XX, and a name
  // made of dots alone entirely so, so that no name can leave containers/. Code 2 for an
  // empty name or one whose folder name would be too long.
  static std::string EncodeName(std::string_view name);
  // The container name of a folder name; nullopt when it is no encoded name.
  static std::optional<std::string> DecodeName(std::string_view folder);

  const std::string& Root() const noexcept { return root_; }

  // Creates the container and writes its files; code 7 when a container of that name exists,
  // which is then left untouched. On any other failure nothing of the new container remains.
  void CreateContainer(std::string_view name, const TNewContainer& parts) const;
  // The first container, in name order, whose private key belongs to the certificate's public
  // key; nullopt when none does.
  std::optional<TFoundKey> FindKeyFor(X509* certificate) const;
  // Gives a container its certificate when it has none yet; an existing one stays.
  void AttachCertificate(std::string_view container, X509* certificate) const;
  // The certificates of all containers (in name order), then those of certs/ (in file name
  // order); unreadable files are left out.
  std::vector<TStoredCertificate> Certificates() const;

 private:
  void RequireRoot() const;
  std::string ContainersDir() const { return root_ + "/containers"; }
  std::string CertsDir() const { return root_ + "/certs"; }

  std::string root_;
};

}  // namespace dravik::plugin
