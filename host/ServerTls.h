// The HTTPS listener's TLS context: built once per preparation of the TLS material (the key
// is decrypted once, not per connection) and shared by every connection until the material
// is prepared anew. TLS 1.2 and 1.3 only, with forward-secret AEAD suites in the server's
// order; session resumption is off: no tickets, no session cache.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace dravik {

struct TSslConnectionSettings;

// The server context for these settings: the one built for the same three files, else a new
// one that replaces it. Null when the material cannot be loaded; `error` then holds
// OpenSSL's description. Any thread.
std::shared_ptr<SSL_CTX> AcquireServerContext(const TSslConnectionSettings& settings,
                                              std::string& error);
// Forgets the kept context (the web server module's finalisation); connections that still
// hold it keep it alive until they end.
void ReleaseServerContext() noexcept;

// The texts of OpenSSL's error queue of this thread, oldest first, which empties it.
std::string TakeOpenSslErrors();

}  // namespace dravik
