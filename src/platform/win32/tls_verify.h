#pragma once
// The certificate side of the Schannel backend, on CryptoAPI (crypt32): what the server
// presented, described for the log, and whether it passes the TlsCheck. The session
// (win32/tls.cpp) tells Schannel to leave the certificate alone and asks here after the
// handshake. Internal to the backend.

#include "platform/tls.h"
#include "platform/tls_rules.h"

#include "platform/win32/windows_api.h"

// The chain parameters with the revocation time limit (Windows XP and later).
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include <wincrypt.h>

#include <memory>
#include <string>
#include <vector>

namespace zanpost::platform::schannel {

struct CertificateFree {
    void operator()(const CERT_CONTEXT* certificate) const { CertFreeCertificateContext(certificate); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

// A status or error number as the system's documentation writes it: "0x800B0109".
std::string hex_status(long status);

// The server's certificate first, then the rest of the chain it sent.
std::vector<TlsCertificateInfo> presented_by(const CERT_CONTEXT* leaf);

struct Verdict {
    bool ok = false;
    TlsFailure failure = TlsFailure::untrusted;
    std::string detail;
};

// The leaf (the server's intermediates in its own store) against the check: the chain to a
// trusted root and the name or address, or what refusal_after_handshake says. `sha256` is
// the leaf's own, as presented_by described it.
Verdict verify_certificate(const CERT_CONTEXT* leaf, const std::string& sha256, const TlsCheck& check);

}  // namespace zanpost::platform::schannel
