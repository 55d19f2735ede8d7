// The HTTPS listener's TLS material at run time, and the two start-up reports of the web
// server (the server's own host name, the OpenSSL libraries).
//
// The CA certificate, the server certificate and the enciphered server key are resources of
// the program (cmake/DravikTlsMaterial.cmake). Before the HTTPS listener starts, and again
// whenever one of the files has gone, they are written to 0600 temporary files and the key's
// pass phrase is built in memory from the certificate texts (KeyPasswordTable.h); every
// accepted HTTPS connection gets the three file names and the pass phrase. The files are
// deleted when the program ends. The pass phrase is never logged and is wiped where each
// copy of it ends.
//
// main() calls InitInitSSL() before the HTTPS listener exists and FinalizeInitSSL() after
// the connection threads are joined.
#pragma once

#include <string>
#include <string_view>

#include "KeyPasswordTable.h"
#include "KvObject.h"

namespace dravik {

// The TLS settings of an accepted socket: the files its TLS context loads and the pass
// phrase of the key. Connection threads fill their own object through InitSSLConnection.
struct TSslConnectionSettings : public TKvObject {
  std::string CertCAFile, CertificateFile, PrivateKeyFile;
  std::string KeyPassword;
  bool VerifyCert = false;

  DRAVIK_CLASS_NAME(TSSLOpenSSL)
  // Wipes KeyPassword.
  ~TSslConnectionSettings() override;
};

// The TLS material is missing from the program or cannot be used.
DRAVIK_EXCEPTION(ESSLDataError, Exception);

// Gives the TLS object the current file names and pass phrase, with VerifyCert false (the
// client's certificate is neither asked for nor verified); first prepares the material anew
// when a file is missing. Errors are logged, with the TLS object as sender. Any thread.
void InitSSLConnection(TSslConnectionSettings& ssl) noexcept;

// Writes the three resources to three new temporary files and builds the pass phrase.
// Errors are logged with the sender and the context "Preparing SSL data"; what was set
// before the error stays set. Any thread.
void PrepareSSLData(const TKvObject* sender) noexcept;

// True when the three file names are set and each file exists.
bool SSLFilesReady();

// The resource's bytes exactly as embedded; "" when the program has no such resource.
std::string LoadSSLResource(std::string_view name);

// Writes the text to a new 0600 file of the user's temporary folder, lists it for deletion
// at the end (ClearTempFiles) and returns its full name. Throws EFCreateError or EWriteError.
std::string SaveToTempFile(const std::string& text);

// The key's pass phrase, taken from the texts as loaded (KeyPasswordTable). Throws
// ESSLDataError when a position lies outside its text.
std::string BuildKeyPassword(std::string_view certCA, std::string_view certificate,
                             std::string_view privateKey);

// Deletes every file SaveToTempFile wrote; a file that cannot be deleted is logged and the
// others are still deleted. Does nothing when no file was ever written.
void ClearTempFiles() noexcept;

// Resolves the server's own host name (DRAVIK_SERVER_HOST) to IPv4 afresh: true with the
// first address in dotted form, false with an empty address when it does not resolve.
bool CheckServerHostName(std::string& address);
bool IsServerHostNameAvailable();

// The reports are computed on the first call and kept for the life of the process.
std::string GetServerHostNameReport();
std::string GetOpenSSLReport();

// Creates SSLDataLock.
void InitInitSSL();
// Frees SSLDataLock, wipes the pass phrase, forgets the file names and deletes the files.
void FinalizeInitSSL() noexcept;

// Parts of the above with their inputs made explicit.

// The first IPv4 address of the host in dotted form; false and "" when it has none.
bool ResolveHostIPv4(std::string_view hostName, std::string& address);

// "Адрес <host> (<address>) доступен!" when the host resolves, else "Адрес <host> НЕ доступен!".
std::string MakeServerHostNameReport(std::string_view hostName);

// What the OpenSSL report says about one library.
struct TOpenSSLLibraryState {
  std::string_view defaultName;  // "libssl.so.3", "libcrypto.so.3"
  bool loaded = false;
  // Loaded: the real path of the module in memory; otherwise the file the search path finds
  // under the default name ("" when none).
  std::string fileName;
  bool fileExists = false;
  // Loaded: OpenSSL's own version text; otherwise the file's version block.
  std::string version;
};

// The OpenSSL report from the states of the TLS library and the crypto library.
std::string FormatOpenSSLReport(const TOpenSSLLibraryState& ssl,
                                const TOpenSSLLibraryState& crypto);

}  // namespace dravik
