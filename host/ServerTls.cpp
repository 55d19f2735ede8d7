#include "ServerTls.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "U_InitSSL.h"

namespace dravik {

namespace {

struct TBioFree {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct TX509Free {
  void operator()(X509* cert) const noexcept { X509_free(cert); }
};

// Hands the key's pass phrase to OpenSSL; `userdata` is the settings' KeyPassword.
int PassPhraseCallback(char* buffer, int size, int /*rwflag*/, void* userdata) {
  if (!userdata || size <= 0) return 0;
  const auto* password = static_cast<const std::string*>(userdata);
  const int length = static_cast<int>(std::min<std::size_t>(password->size(), size));
  std::memcpy(buffer, password->data(), static_cast<std::size_t>(length));
  return length;
}

// Appends every certificate of a PEM file to the chain the server presents.
bool AddChainCertificates(SSL_CTX* ctx, const std::string& fileName) {
  std::unique_ptr<BIO, TBioFree> bio(BIO_new_file(fileName.c_str(), "r"));
  if (!bio) return false;
  int added = 0;
  for (;;) {
    std::unique_ptr<X509, TX509Free> cert(PEM_read_bio_X509(
        bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr));
    if (!cert) break;
    if (SSL_CTX_add1_chain_cert(ctx, cert.get()) != 1) return false;
    ++added;
  }
  // The loop ends on the "no start line" at the file's end, which is no error.
  ERR_clear_error();
  return added > 0;
}

// The TLS 1.2 suites offered, in the server's order: forward-secret key exchange and
// authenticated encryption only. The key ships inside the program, so a static-RSA key
// exchange would let anyone holding the program read a capture of the traffic; CBC suites
// carry the padding-oracle family of attacks. OpenSSL offers those that fit the key's type.
// TLS 1.3 keeps OpenSSL's own suites, all of which are of this kind.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

std::shared_ptr<SSL_CTX> MakeServerContext(const TSslConnectionSettings& settings) {
  std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (!ctx) return nullptr;
  SSL_CTX* raw = ctx.get();
  SSL_CTX_set_min_proto_version(raw, TLS1_2_VERSION);
  if (SSL_CTX_set_cipher_list(raw, kTls12Ciphers) != 1) return nullptr;
  // The server picks the suite in its own order; a client that puts ChaCha20 first (one
  // without AES instructions) gets it. No renegotiation in either direction.
  SSL_CTX_set_options(raw, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_PRIORITIZE_CHACHA |
                               SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  // Every handshake is a full one, as when each connection had a context of its own.
  SSL_CTX_set_options(raw, SSL_OP_NO_TICKET);
  SSL_CTX_set_num_tickets(raw, 0);
  SSL_CTX_set_session_cache_mode(raw, SSL_SESS_CACHE_OFF);
  // An idle connection keeps no read or write buffer.
  SSL_CTX_set_mode(raw, SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_default_passwd_cb(raw, PassPhraseCallback);
  SSL_CTX_set_default_passwd_cb_userdata(raw, const_cast<std::string*>(&settings.KeyPassword));
  bool ok = SSL_CTX_use_certificate_chain_file(raw, settings.CertificateFile.c_str()) == 1;
  if (ok && !settings.CertCAFile.empty()) {
    ok = SSL_CTX_load_verify_locations(raw, settings.CertCAFile.c_str(), nullptr) == 1 &&
         AddChainCertificates(raw, settings.CertCAFile);
  }
  ok = ok &&
       SSL_CTX_use_PrivateKey_file(raw, settings.PrivateKeyFile.c_str(), SSL_FILETYPE_PEM) == 1 &&
       SSL_CTX_check_private_key(raw) == 1;
  // The pass phrase is needed only while the key is read; the context must not point at it.
  SSL_CTX_set_default_passwd_cb(raw, nullptr);
  SSL_CTX_set_default_passwd_cb_userdata(raw, nullptr);
  if (!ok) return nullptr;
  SSL_CTX_set_verify(raw, settings.VerifyCert ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
  return ctx;
}

struct TKeptContext {
  std::mutex lock;
  std::shared_ptr<SSL_CTX> ctx;
  std::string caFile, certificateFile, privateKeyFile;
  bool verifyCert = false;
};

TKeptContext& Kept() {
  static TKeptContext kept;
  return kept;
}

}  // namespace

std::string TakeOpenSslErrors() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text.append("; ");
    text.append(line);
  }
  return text;
}

std::shared_ptr<SSL_CTX> AcquireServerContext(const TSslConnectionSettings& settings,
                                              std::string& error) {
  TKeptContext& kept = Kept();
  std::lock_guard lock(kept.lock);
  if (kept.ctx && kept.caFile == settings.CertCAFile &&
      kept.certificateFile == settings.CertificateFile &&
      kept.privateKeyFile == settings.PrivateKeyFile && kept.verifyCert == settings.VerifyCert)
    return kept.ctx;
  ERR_clear_error();
  std::shared_ptr<SSL_CTX> ctx = MakeServerContext(settings);
  if (!ctx) {
    error = TakeOpenSslErrors();
    return nullptr;
  }
  kept.ctx = ctx;
  kept.caFile = settings.CertCAFile;
  kept.certificateFile = settings.CertificateFile;
  kept.privateKeyFile = settings.PrivateKeyFile;
  kept.verifyCert = settings.VerifyCert;
  return ctx;
}

void ReleaseServerContext() noexcept {
  std::shared_ptr<SSL_CTX> ctx;
  {
    TKeptContext& kept = Kept();
    std::lock_guard lock(kept.lock);
    ctx.swap(kept.ctx);
  }
}

}  // namespace dravik
