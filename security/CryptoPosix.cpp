// Native builds have no platform cryptography for the RSA-AES key exchange.
#include "security/RsaKex.h"

std::unique_ptr<RSAKEX::Crypto> RSAKEX::DefaultKexCrypto() { return nullptr; }

#include "security/TLSSession.h"

// Nor a TLS provider for VeNCrypt.
std::unique_ptr<TLSSession> NewTLSClientSession(const char*) { return nullptr; }
