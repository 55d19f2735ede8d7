// Debian's gost engine (libengine-gost-openssl): the library's only source of GOST R 34.10-2012
// keys and signatures and of the GOST R 34.11-2012 digests. Its provider, gostprov, has digests
// but no keys or signatures, so the library uses the engine.
#pragma once

namespace dravik::plugin {

// Loads the engine and makes it OpenSSL's default for its digests, key methods and key ASN.1
// methods, once per process: the first call does it and later calls answer what it found.
// Whether the engine is loaded. A GOST digest is then found by its OID (EVP_get_digestbyobj),
// not by EVP_MD_fetch, which sees providers alone.
bool LoadGostEngine() noexcept;

}  // namespace dravik::plugin
