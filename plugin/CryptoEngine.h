// One crypto engine of the plugin "RIDazodoRodudaRodozuze": the object behind one ID, with
// its parameters, the objects imported into it, its key, its last output and its error state.
//
// An engine is held by shared ownership (the object table and every call using it) and
// guarded by its own lock: whoever touches its state holds Mutex().
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KeyAlgorithms.h"
#include "KvObject.h"
#include "OpenSslPtr.h"
#include "PluginErrors.h"
#include "Signing.h"

namespace dravik::plugin {

// The only engine type the library offers.
inline constexpr std::int32_t kSupportedEngineType = 8;

// What the import calls give an engine; ClearCash drops all of it.
struct TImportedObjects {
  std::vector<TX509Ptr> caCertificates;  // the trust store of verifications
  std::vector<TX509CrlPtr> crls;
  TX509Ptr signerCertificate;           // the certificate a verification expects as the signer
  TX509Ptr keyCertificate;              // the certificate whose key this engine signs with
  std::string keySerialHex;             // its serial number in hexadecimal, read once at the import
  std::string signingCertificateV2;     // its signing-certificate-v2 value, made once
  std::optional<TCmsSigner> cmsSigner;  // its SignedData, made once for the last digest asked
  TEvpPkeyPtr key;                      // that certificate's private key, from the key store
  TKeyAlgorithm keyAlgorithm = TKeyAlgorithm::Other;
};

class TCryptoEngine final : public TKvObject {
 public:
  TCryptoEngine() = default;
  ~TCryptoEngine() override;
  TCryptoEngine(const TCryptoEngine&) = delete;
  TCryptoEngine& operator=(const TCryptoEngine&) = delete;
  DRAVIK_CLASS_NAME(TCryptoEngine)

  std::mutex& Mutex() noexcept { return mutex_; }

  // Back to a new engine's state, of the type given.
  void Reset(std::optional<std::int32_t> engineType);
  // Whether the engine was initialised with the supported type.
  bool Initialised() const noexcept { return engineType_ == kSupportedEngineType; }

  // Parameters under their exact, case-sensitive names; an empty value removes one.
  void SetParam(std::string_view name, std::string_view value);
  // The parameter's value, "" when it is not set.
  std::string Param(std::string_view name) const;

  // Drops the imported objects, the key and the last output; the parameters stay.
  void ClearCash() noexcept;

  TImportedObjects& Imported() noexcept { return imported_; }
  const TImportedObjects& Imported() const noexcept { return imported_; }

  // The bytes of the last export; nullopt before any.
  const std::optional<std::string>& LastOutput() const noexcept { return lastOutput_; }
  void SetLastOutput(std::string bytes) { lastOutput_ = std::move(bytes); }
  void ClearLastOutput() noexcept { lastOutput_.reset(); }

  TErrorState& Error() noexcept { return error_; }

 private:
  void ClearParams() noexcept;

  std::mutex mutex_;
  std::optional<std::int32_t> engineType_;
  std::map<std::string, std::string, std::less<>> params_;
  TImportedObjects imported_;
  std::optional<std::string> lastOutput_;
  TErrorState error_;
};

}  // namespace dravik::plugin
