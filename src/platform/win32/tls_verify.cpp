// The certificate check of the Schannel backend, through CryptoAPI (crypt32): after the
// handshake the server's certificate is either compared with the pin or run through
// CertGetCertificateChain and the SSL chain policy.
//
// Trusted roots for a CA file: a chain engine whose exclusive root store holds only the
// file's certificates (hExclusiveRoot, Windows 7 and later; Wine honours it). Where the
// engine cannot be made (an older Windows refuses the larger configuration), the chain is
// built by the default engine with the file's certificates as an additional store and
// accepted only when its root is byte for byte one of them and nothing but "untrusted root"
// is wrong with it. Either way the root is finally compared with the file's certificates.

#include "platform/win32/tls_verify.h"

#include "platform/crypto.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>

namespace zanpost::platform::schannel {
namespace {

// ---------------------------------------------------------------------------------------
// Handles that free themselves

struct StoreClose {
    void operator()(void* store) const { CertCloseStore(store, 0); }
};
using Store = std::unique_ptr<void, StoreClose>;

struct ChainFree {
    void operator()(const CERT_CHAIN_CONTEXT* chain) const { CertFreeCertificateChain(chain); }
};
using Chain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;

struct EngineFree {
    void operator()(void* engine) const { CertFreeCertificateChainEngine(static_cast<HCERTCHAINENGINE>(engine)); }
};
using Engine = std::unique_ptr<void, EngineFree>;

// ---------------------------------------------------------------------------------------
// What the server presented

// 64 lower-case hex digits of the certificate's encoded bytes; empty when the system's
// crypto gives no SHA-256.
std::string sha256_hex(const CERT_CONTEXT* certificate)
{
    try {
        const std::string digest = sha256(std::string_view(reinterpret_cast<const char*>(certificate->pbCertEncoded),
                                                           certificate->cbCertEncoded));
        return fingerprint_text(reinterpret_cast<const unsigned char*>(digest.data()), digest.size());
    } catch (const ECryptoError&) {
        return {};
    }
}

std::string utc_text(const FILETIME& time)
{
    SYSTEMTIME t{};
    if (!FileTimeToSystemTime(&time, &t)) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
    return text;
}

std::string name_text(CERT_NAME_BLOB* name)
{
    const DWORD kind = CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG;
    const DWORD length = CertNameToStrA(X509_ASN_ENCODING, name, kind, nullptr, 0);
    if (length <= 1) return {};
    std::string text(length, '\0');
    CertNameToStrA(X509_ASN_ENCODING, name, kind, text.data(), length);
    text.resize(length - 1);
    return text;
}

TlsCertificateInfo describe(const CERT_CONTEXT* certificate)
{
    CERT_INFO* info = certificate->pCertInfo;
    TlsCertificateInfo described;
    described.subject = name_text(&info->Subject);
    described.issuer = name_text(&info->Issuer);
    described.not_before = utc_text(info->NotBefore);
    described.not_after = utc_text(info->NotAfter);
    described.sha256 = sha256_hex(certificate);
    return described;
}

std::wstring widen(const std::string& text)
{
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(std::size_t(std::max(length, 0)), L'\0');
    if (length > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), wide.data(), length);
    return wide;
}

struct LocalMemoryFree {
    void operator()(void* memory) const { LocalFree(memory); }
};

// True when the certificate's alternative names hold this address.
bool carries_address(const CERT_CONTEXT* certificate, const IpAddress& address)
{
    const CERT_INFO* info = certificate->pCertInfo;
    const CERT_EXTENSION* extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (extension == nullptr) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
        return false;
    const std::unique_ptr<void, LocalMemoryFree> owned(names);
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == address.size
            && std::memcmp(entry.IPAddress.pbData, address.bytes.data(), address.size) == 0)
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------
// The CA file

struct CaFile {
    Store store;                                 // a memory store with the file's certificates
    std::vector<std::string> encoded;            // their DER bytes, for the root comparison
};

std::optional<CaFile> load_ca_file(const std::string& path, std::string& detail)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        detail = "cannot read the CA file " + path;
        return std::nullopt;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    CaFile ca;
    ca.store.reset(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!ca.store) {
        detail = "cannot make a certificate store";
        return std::nullopt;
    }
    static const std::string begin = "-----BEGIN CERTIFICATE-----";
    static const std::string end = "-----END CERTIFICATE-----";
    std::size_t at = 0;
    while ((at = text.find(begin, at)) != std::string::npos) {
        const std::size_t stop = text.find(end, at);
        if (stop == std::string::npos) break;
        const std::string block = text.substr(at, stop + end.size() - at);
        at = stop + end.size();
        DWORD length = 0;
        if (!CryptStringToBinaryA(block.data(), DWORD(block.size()), CRYPT_STRING_BASE64HEADER, nullptr, &length,
                                  nullptr, nullptr)
            || length == 0)
            continue;
        std::string der(length, '\0');
        if (!CryptStringToBinaryA(block.data(), DWORD(block.size()), CRYPT_STRING_BASE64HEADER,
                                  reinterpret_cast<BYTE*>(der.data()), &length, nullptr, nullptr))
            continue;
        der.resize(length);
        if (CertAddEncodedCertificateToStore(ca.store.get(), X509_ASN_ENCODING,
                                             reinterpret_cast<const BYTE*>(der.data()), length,
                                             CERT_STORE_ADD_USE_EXISTING, nullptr))
            ca.encoded.push_back(std::move(der));
    }
    if (ca.encoded.empty()) {
        detail = "the CA file " + path + " holds no certificate";
        return std::nullopt;
    }
    return ca;
}

// ---------------------------------------------------------------------------------------
// The certificate check

Verdict fail(TlsFailure failure, std::string detail)
{
    return {false, failure, std::move(detail)};
}

std::string policy_error_name(long status)
{
    switch (static_cast<unsigned long>(status)) {
    case 0x800B0109: return "CERT_E_UNTRUSTEDROOT";
    case 0x800B010A: return "CERT_E_CHAINING";
    case 0x800B0101: return "CERT_E_EXPIRED";
    case 0x800B0102: return "CERT_E_VALIDITYPERIODNESTING";
    case 0x800B010F: return "CERT_E_CN_NO_MATCH";
    case 0x800B0110: return "CERT_E_WRONG_USAGE";
    case 0x80092010: return "CRYPT_E_REVOKED";
    case 0x80096004: return "TRUST_E_CERT_SIGNATURE";
    default: return "error";
    }
}

TlsFailure policy_failure(long status)
{
    switch (static_cast<unsigned long>(status)) {
    case 0x800B0101:  // CERT_E_EXPIRED
    case 0x800B0102:  // CERT_E_VALIDITYPERIODNESTING
        return TlsFailure::expired;
    case 0x800B010F:  // CERT_E_CN_NO_MATCH
        return TlsFailure::name_mismatch;
    default:  // untrusted root, partial chain, revoked, bad signature, wrong usage
        return TlsFailure::untrusted;
    }
}

constexpr unsigned long no_revocation_check = 0x80092012;  // CRYPT_E_NO_REVOCATION_CHECK
constexpr unsigned long revocation_offline = 0x80092013;   // CRYPT_E_REVOCATION_OFFLINE
constexpr unsigned long revocation_failure = 0x800B010E;   // CERT_E_REVOCATION_FAILURE (Wine says this)
// HTTPSPolicyCallbackData.fdwChecks (the wininet names)
constexpr DWORD ignore_revocation = 0x00000080;
constexpr DWORD ignore_unknown_ca = 0x00000100;

// The SSL chain policy for a server named `name` (empty: no name check). Missing or
// offline revocation information is no failure; a revoked certificate is.
long ssl_policy(const CERT_CHAIN_CONTEXT* chain, const std::string& name, bool allow_unknown_root)
{
    std::wstring wide = widen(name);
    HTTPSPolicyCallbackData https{};
    https.cbStruct = sizeof https;
    https.dwAuthType = AUTHTYPE_SERVER;
    https.fdwChecks = allow_unknown_root ? ignore_unknown_ca : 0;
    https.pwszServerName = wide.empty() ? nullptr : wide.data();
    CERT_CHAIN_POLICY_PARA para{};
    para.cbSize = sizeof para;
    para.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS
                   | (allow_unknown_root ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0);
    para.pvExtraPolicyPara = &https;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status))
        return long(GetLastError());
    const auto error = static_cast<unsigned long>(status.dwError);
    if (error == no_revocation_check || error == revocation_offline || error == revocation_failure) {
        // Some versions report unknown revocation through the SSL policy despite the base
        // policy's flags; ask again without revocation, so the checks after it still run.
        https.fdwChecks |= ignore_revocation;
        status = CERT_CHAIN_POLICY_STATUS{};
        status.cbSize = sizeof status;
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status))
            return long(GetLastError());
    }
    return long(status.dwError);
}

const CERT_CONTEXT* chain_root(const CERT_CHAIN_CONTEXT* chain)
{
    if (chain->cChain == 0) return nullptr;
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    if (simple->cElement == 0) return nullptr;
    return simple->rgpElement[simple->cElement - 1]->pCertContext;
}

bool root_is_in(const CERT_CHAIN_CONTEXT* chain, const CaFile& ca)
{
    const CERT_CONTEXT* root = chain_root(chain);
    if (root == nullptr) return false;
    const std::string bytes(reinterpret_cast<const char*>(root->pbCertEncoded), root->cbCertEncoded);
    return std::find(ca.encoded.begin(), ca.encoded.end(), bytes) != ca.encoded.end();
}

// What is wrong with the chain beyond what is ignored: unknown or offline revocation
// information, and (with a CA file on the fallback path) the root not being a system one.
DWORD chain_errors(const CERT_CHAIN_CONTEXT* chain, DWORD also_ignored)
{
    return chain->TrustStatus.dwErrorStatus
           & ~DWORD(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION | also_ignored);
}

Verdict chain_failure_from_status(DWORD errors)
{
    if (errors & CERT_TRUST_IS_NOT_TIME_VALID) return fail(TlsFailure::expired, "the certificate is out of its dates");
    if (errors & CERT_TRUST_IS_REVOKED) return fail(TlsFailure::untrusted, "the certificate is revoked");
    if (errors & CERT_TRUST_IS_PARTIAL_CHAIN)
        return fail(TlsFailure::untrusted, "the chain does not reach a root certificate");
    if (errors & CERT_TRUST_IS_UNTRUSTED_ROOT) return fail(TlsFailure::untrusted, "the root certificate is not trusted");
    return fail(TlsFailure::untrusted, "the chain is not valid (trust status " + hex_status(long(errors)) + ")");
}

Verdict verify_chain(const CERT_CONTEXT* leaf, const TlsCheck& check)
{
    std::optional<CaFile> ca;
    if (!check.ca_file.empty()) {
        std::string detail;
        ca = load_ca_file(check.ca_file, detail);
        if (!ca) return fail(TlsFailure::ca_file, detail);
    }

    // The exclusive root engine. Wine and Windows 8 take the whole configuration; Windows
    // 7 knows it without the last member.
    Engine engine;
    if (ca) {
        for (DWORD size : {DWORD(sizeof(CERT_CHAIN_ENGINE_CONFIG)),
                           DWORD(offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags))}) {
            CERT_CHAIN_ENGINE_CONFIG config{};
            config.cbSize = size;
            config.hExclusiveRoot = ca->store.get();
            HCERTCHAINENGINE made = nullptr;
            if (CertCreateCertificateChainEngine(&config, &made)) {
                engine.reset(made);
                break;
            }
        }
    }
    const bool fallback = ca && !engine;

    // The server's intermediates come in the leaf's own store; on the fallback path the CA
    // file's certificates go beside them.
    Store extra(CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!extra) return fail(TlsFailure::untrusted, "cannot make a certificate store");
    if (leaf->hCertStore) CertAddStoreToCollection(extra.get(), leaf->hCertStore, 0, 0);
    if (fallback) CertAddStoreToCollection(extra.get(), ca->store.get(), 0, 0);

    static char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {server_auth};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    // Revocation where it can be had, within a few seconds for the whole chain.
    para.dwUrlRetrievalTimeout = 5000;
    const DWORD flags = CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
    const CERT_CHAIN_CONTEXT* built = nullptr;
    if (!CertGetCertificateChain(static_cast<HCERTCHAINENGINE>(engine.get()), leaf, nullptr, extra.get(), &para,
                                 flags, nullptr, &built))
        return fail(TlsFailure::untrusted, "CertGetCertificateChain failed: " + hex_status(long(GetLastError())));
    const Chain chain(built);

    // The default engine trusts the system's roots, which a CA file replaces: on the
    // fallback path only a root taken from the file counts, and it is "untrusted" to the
    // engine.
    if (fallback && !root_is_in(chain.get(), *ca))
        return fail(TlsFailure::untrusted, "the chain does not lead to a certificate of the CA file");
    // The chain's own verdict first: Wine's SSL policy lets a chain that reaches no root
    // (a server certificate whose issuer is unknown) pass.
    const DWORD errors = chain_errors(chain.get(), fallback ? CERT_TRUST_IS_UNTRUSTED_ROOT : 0);
    if (errors) return chain_failure_from_status(errors);
    // An IP literal is matched here against the certificate's addresses: Wine's policy
    // knows only names.
    const bool ip = check.against == TlsCheck::Against::ip_address;
    const long status = ssl_policy(chain.get(), ip ? std::string() : check.name, fallback);
    if (status != 0)
        return fail(policy_failure(status), "certificate check: " + policy_error_name(status) + " ("
                                                + hex_status(status) + ")");
    if (ip && !carries_address(leaf, check.address))
        return fail(TlsFailure::name_mismatch, "the certificate does not carry the address " + check.name);
    // Whatever the engine did, a CA file's chain ends at one of its certificates.
    if (ca && !root_is_in(chain.get(), *ca))
        return fail(TlsFailure::untrusted, "the chain does not lead to a certificate of the CA file");
    return {true, TlsFailure::handshake, {}};
}

}  // namespace

std::string hex_status(long status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
    return text;
}

// The server's certificate and the others it sent, which Schannel puts in the certificate's
// own store. The store keeps no order, so the chain is laid out from the leaf by issuer
// names; whatever links to none of it follows.
std::vector<TlsCertificateInfo> presented_by(const CERT_CONTEXT* leaf)
{
    std::vector<Certificate> others;
    if (leaf->hCertStore != nullptr) {
        const CERT_CONTEXT* next = nullptr;
        while ((next = CertEnumCertificatesInStore(leaf->hCertStore, next)) != nullptr) {
            if (!CertCompareCertificate(X509_ASN_ENCODING, leaf->pCertInfo, next->pCertInfo))
                others.emplace_back(CertDuplicateCertificateContext(next));
        }
    }
    std::vector<TlsCertificateInfo> chain{describe(leaf)};
    const CERT_CONTEXT* last = leaf;
    for (;;) {
        const auto issuer = std::find_if(others.begin(), others.end(), [last](const Certificate& c) {
            return c && CertCompareCertificateName(X509_ASN_ENCODING, &last->pCertInfo->Issuer, &c->pCertInfo->Subject);
        });
        // A self-signed certificate ends the chain.
        if (issuer == others.end()
            || CertCompareCertificateName(X509_ASN_ENCODING, &last->pCertInfo->Issuer, &last->pCertInfo->Subject))
            break;
        chain.push_back(describe(issuer->get()));
        last = issuer->get();
        others.erase(issuer);
    }
    for (const Certificate& other : others) chain.push_back(describe(other.get()));
    return chain;
}

Verdict verify_certificate(const CERT_CONTEXT* leaf, const std::string& sha256, const TlsCheck& check)
{
    if (check.chain_checked()) return verify_chain(leaf, check);
    if (std::optional<TlsRefusal> refused = refusal_after_handshake(check, sha256))
        return fail(refused->failure, std::move(refused->detail));
    return {true, TlsFailure::handshake, {}};
}

}  // namespace zanpost::platform::schannel
