// TLS over Schannel (secur32), with the server's certificate checked by our own code through
// CryptoAPI (crypt32).
//
// Schannel is told to leave the certificate alone (manual validation): its automatic check
// differs between Windows versions and Wine does not enforce it at all, so a test under Wine
// would pass for a bad certificate. After the handshake the certificate is either compared
// with the pin or run through CertGetCertificateChain and the SSL chain policy.
//
// Trusted roots for a CA file: a chain engine whose exclusive root store holds only the
// file's certificates (hExclusiveRoot, Windows 7 and later; Wine honours it). Where the
// engine cannot be made (an older Windows refuses the larger configuration), the chain is
// built by the default engine with the file's certificates as an additional store and
// accepted only when its root is byte for byte one of them and nothing but "untrusted root"
// is wrong with it. Either way the root is finally compared with the file's certificates.

#include "platform/tls.h"

#include "platform/win32/windows_api.h"

#define SECURITY_WIN32
// The chain parameters with the revocation time limit (Windows XP and later).
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <vector>

namespace zanpost::platform {
namespace {

// ---------------------------------------------------------------------------------------
// Handles that free themselves

struct CredentialsHandle {
    CredHandle handle{};
    bool valid = false;
    CredentialsHandle() = default;
    CredentialsHandle(const CredentialsHandle&) = delete;
    CredentialsHandle& operator=(const CredentialsHandle&) = delete;
    ~CredentialsHandle()
    {
        if (valid) FreeCredentialsHandle(&handle);
    }
};

struct SecurityContext {
    CtxtHandle handle{};
    bool valid = false;
    SecurityContext() = default;
    SecurityContext(const SecurityContext&) = delete;
    SecurityContext& operator=(const SecurityContext&) = delete;
    ~SecurityContext()
    {
        if (valid) DeleteSecurityContext(&handle);
    }
    CtxtHandle* get() { return valid ? &handle : nullptr; }
    void reset()
    {
        if (valid) DeleteSecurityContext(&handle);
        valid = false;
    }
};

struct ContextBufferFree {
    void operator()(void* buffer) const { FreeContextBuffer(buffer); }
};
using ContextBuffer = std::unique_ptr<void, ContextBufferFree>;

struct CertificateFree {
    void operator()(const CERT_CONTEXT* certificate) const { CertFreeCertificateContext(certificate); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

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

struct ProviderRelease {
    HCRYPTPROV provider = 0;
    ProviderRelease() = default;
    ProviderRelease(const ProviderRelease&) = delete;
    ProviderRelease& operator=(const ProviderRelease&) = delete;
    ~ProviderRelease()
    {
        if (provider) CryptReleaseContext(provider, 0);
    }
};

struct HashDestroy {
    HCRYPTHASH hash = 0;
    HashDestroy() = default;
    HashDestroy(const HashDestroy&) = delete;
    HashDestroy& operator=(const HashDestroy&) = delete;
    ~HashDestroy()
    {
        if (hash) CryptDestroyHash(hash);
    }
};

// ---------------------------------------------------------------------------------------
// Small helpers

std::string hex_status(long status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
    return text;
}

std::string to_lower_hex(const unsigned char* bytes, std::size_t count)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// 64 lower-case hex digits of the certificate's encoded bytes; empty when CryptoAPI has no
// SHA-256 (the AES provider has it since Windows XP SP3).
std::string sha256_hex(const CERT_CONTEXT* certificate)
{
    ProviderRelease provider;
    if (!CryptAcquireContextW(&provider.provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return {};
    HashDestroy hash;
    if (!CryptCreateHash(provider.provider, CALG_SHA_256, 0, 0, &hash.hash)) return {};
    if (!CryptHashData(hash.hash, certificate->pbCertEncoded, certificate->cbCertEncoded, 0)) return {};
    unsigned char digest[32];
    DWORD length = sizeof digest;
    if (!CryptGetHashParam(hash.hash, HP_HASHVAL, digest, &length, 0) || length != sizeof digest) return {};
    return to_lower_hex(digest, length);
}

std::string normalised_pin(const std::string& pin)
{
    std::string digits;
    for (char c : pin) {
        if (c == ':') continue;
        digits += (c >= 'A' && c <= 'F') ? char(c - 'A' + 'a') : c;
    }
    return digits;
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

std::wstring widen(const std::string& text)
{
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(std::size_t(std::max(length, 0)), L'\0');
    if (length > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), wide.data(), length);
    return wide;
}

std::string narrow(const WCHAR* text)
{
    std::string result;
    for (; *text; ++text) result += *text < 0x80 ? char(*text) : '?';
    return result;
}

// An IPv4 or IPv6 literal is never sent as SNI (RFC 6066), only checked against the
// certificate's addresses.
bool is_ip_literal(const std::string& name)
{
    if (name.find(':') != std::string::npos) return true;
    int dots = 0;
    for (char c : name) {
        if (c == '.') ++dots;
        else if (c < '0' || c > '9') return false;
    }
    return dots == 3;
}

std::string protocol_name(DWORD protocol)
{
    if (protocol & SP_PROT_TLS1_3_CLIENT) return "TLSv1.3";
    if (protocol & SP_PROT_TLS1_2_CLIENT) return "TLSv1.2";
    if (protocol & SP_PROT_TLS1_1_CLIENT) return "TLSv1.1";
    if (protocol & SP_PROT_TLS1_0_CLIENT) return "TLSv1";
    return "protocol " + hex_status(long(protocol));
}

std::string algorithm_name(ALG_ID id, DWORD strength)
{
    switch (id) {
    case CALG_AES_128: return "AES-128";
    case CALG_AES_256: return "AES-256";
    case CALG_AES: return "AES-" + std::to_string(strength);
    case CALG_3DES: return "3DES";
    case CALG_RC4: return "RC4";
    case CALG_SHA1: return "SHA1";
    case CALG_SHA_256: return "SHA256";
    case CALG_SHA_384: return "SHA384";
    case CALG_MD5: return "MD5";
    case CALG_RSA_KEYX: return "RSA";
    case CALG_DH_EPHEM: return "DHE";
    case CALG_ECDH: return "ECDH";
    case CALG_ECDH_EPHEM: return "ECDHE";
    default: return "alg " + hex_status(long(id));
    }
}

struct LocalMemoryFree {
    void operator()(void* memory) const { LocalFree(memory); }
};

// True when the certificate's alternative names hold this IPv4 address. ZanPost speaks
// IPv4 only, so an IPv6 literal never matches.
bool carries_address(const CERT_CONTEXT* certificate, const std::string& literal)
{
    if (literal.find(':') != std::string::npos) return false;
    const std::uint32_t address = parse_ipv4(literal);  // network byte order, as the certificate has it
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
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == sizeof address
            && std::memcmp(entry.IPAddress.pbData, &address, sizeof address) == 0)
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

struct Verdict {
    bool ok = false;
    TlsFailure failure = TlsFailure::untrusted;
    std::string detail;
};

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

Verdict verify_chain(const CERT_CONTEXT* leaf, const TlsOptions& options)
{
    std::optional<CaFile> ca;
    if (!options.ca_file.empty()) {
        std::string detail;
        ca = load_ca_file(options.ca_file, detail);
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
    const bool ip = is_ip_literal(options.server_name);
    const long status = ssl_policy(chain.get(), ip ? std::string() : options.server_name, fallback);
    if (status != 0)
        return fail(policy_failure(status), "certificate check: " + policy_error_name(status) + " ("
                                                + hex_status(status) + ")");
    if (ip && !carries_address(leaf, options.server_name))
        return fail(TlsFailure::name_mismatch, "the certificate does not carry the address " + options.server_name);
    // Whatever the engine did, a CA file's chain ends at one of its certificates.
    if (ca && !root_is_in(chain.get(), *ca))
        return fail(TlsFailure::untrusted, "the chain does not lead to a certificate of the CA file");
    return {true, TlsFailure::handshake, {}};
}

// ---------------------------------------------------------------------------------------
// The session

constexpr DWORD request_flags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY
                                | ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM
                                | ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;

struct Step {
    bool ok = false;
    TlsFailure failure = TlsFailure::handshake;
    std::string detail;
};

Step done()
{
    return {true, TlsFailure::handshake, {}};
}

class SchannelSession final : public TlsSession {
public:
    explicit SchannelSession(SocketHandle socket) : socket_(socket) {}

    Step start(const TlsOptions& options);

    IoResult send(const char* data, std::size_t length) override;
    IoResult receive(char* buffer, std::size_t size) override;
    void shutdown() noexcept override;
    const TlsPeerInfo& peer() const override { return peer_; }
    // What the server presented, once the handshake got that far.
    std::vector<TlsCertificateInfo> take_presented() { return std::move(presented_); }

private:
    Step acquire_credentials();
    Step handshake(bool initial);
    Step send_all(const char* data, std::size_t length);
    Step read_more();
    Step describe_and_verify(const TlsOptions& options);

    SocketHandle socket_;
    std::string target_;  // the SNI name, empty for an IP literal
    CredentialsHandle credentials_;
    SecurityContext context_;
    SecPkgContext_StreamSizes sizes_{};
    std::string incoming_;      // bytes from the socket not yet handed to Schannel
    std::string outgoing_;      // the record being sent, kept for its capacity
    std::string plain_;         // decrypted bytes not yet given to the caller
    std::size_t plain_at_ = 0;  // how many of them were given
    bool ended_ = false;        // close_notify seen, or the stream ended
    TlsPeerInfo peer_;
    std::vector<TlsCertificateInfo> presented_;
};

Step io_failure(IoStatus status, const char* during)
{
    switch (status) {
    case IoStatus::timed_out: return {false, TlsFailure::timed_out, std::string("no answer within the time limit ") + during};
    case IoStatus::closed: return {false, TlsFailure::closed, std::string("the server closed the connection ") + during};
    default: return {false, TlsFailure::handshake, std::string("the connection failed ") + during};
    }
}

Step SchannelSession::acquire_credentials()
{
    // TLS 1.3 where the system has it; a system that refuses the flag in this structure
    // (Windows 11 wants another one for 1.3; Wine has only 1.2) gets 1.2 alone.
    SECURITY_STATUS status = SEC_E_INTERNAL_ERROR;
    for (DWORD protocols : {DWORD(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT), DWORD(SP_PROT_TLS1_2_CLIENT)}) {
        SCHANNEL_CRED cred{};
        cred.dwVersion = SCHANNEL_CRED_VERSION;
        cred.grbitEnabledProtocols = protocols;
        cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        TimeStamp expiry{};
        status = AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                           &cred, nullptr, nullptr, &credentials_.handle, &expiry);
        if (status == SEC_E_OK) {
            credentials_.valid = true;
            return done();
        }
    }
    return {false, TlsFailure::handshake, "AcquireCredentialsHandle failed: " + hex_status(status)};
}

Step SchannelSession::send_all(const char* data, std::size_t length)
{
    std::size_t sent_count = 0;
    while (sent_count < length) {
        const IoResult sent = socket_send(socket_, data + sent_count, length - sent_count);
        if (sent.status != IoStatus::ok) return io_failure(sent.status, "while sending");
        sent_count += sent.count;
    }
    return done();
}

Step SchannelSession::read_more()
{
    const std::size_t chunk = 16384 + 512;
    const std::size_t had = incoming_.size();
    incoming_.resize(had + chunk);
    const IoResult got = socket_receive(socket_, incoming_.data() + had, chunk);
    incoming_.resize(had + (got.status == IoStatus::ok ? got.count : 0));
    if (got.status != IoStatus::ok) return io_failure(got.status, "during the TLS handshake");
    return done();
}

// Keeps only the bytes Schannel did not use: those an EXTRA buffer names, at the end of
// what it was given.
void keep_extra(std::string& incoming, const SecBuffer& extra)
{
    if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= incoming.size())
        incoming.erase(0, incoming.size() - extra.cbBuffer);
    else
        incoming.clear();
}

Step SchannelSession::handshake(bool initial)
{
    char* target = target_.empty() ? nullptr : target_.data();
    DWORD attributes = 0;
    // A renegotiation first offers Schannel what is left over from the record that asked
    // for it (Windows leaves the request there), and reads only when it asks for more.
    bool need_input = false;
    bool first = initial;
    // Wine keeps the request to itself and then wants a record it will never get: the
    // server waits for our answer. TLS 1.2 lets a client decline, so it does: the
    // session goes on, and a server that insists ends it.
    bool may_decline = !initial && incoming_.empty();
    bool looked_at_answer = !initial;
    for (;;) {
        if (need_input) {
            const Step read = read_more();
            if (!read.ok) return read;
        }
        // A server's first answer is a TLS record: handshake or alert, version 3.x. Anything
        // else is a plain-text server (a greeting) - said now, not after waiting for as
        // many bytes as the greeting's letters would announce as a record length.
        if (!looked_at_answer && !incoming_.empty()) {
            looked_at_answer = true;
            const auto type = static_cast<unsigned char>(incoming_[0]);
            if ((type != 0x16 && type != 0x15) || (incoming_.size() > 1 && incoming_[1] != 0x03))
                return {false, TlsFailure::handshake, "the server does not answer in TLS"};
        }
        SecBuffer in[2]{};
        in[0].BufferType = SECBUFFER_TOKEN;
        in[0].pvBuffer = incoming_.data();
        in[0].cbBuffer = static_cast<unsigned long>(incoming_.size());
        in[1].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
        SecBuffer out[1]{};
        out[0].BufferType = SECBUFFER_TOKEN;
        SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out};

        const SECURITY_STATUS status = InitializeSecurityContextA(
            &credentials_.handle, first ? nullptr : context_.get(), target, request_flags, 0, 0,
            first ? nullptr : &in_desc, 0, first ? &context_.handle : nullptr, &out_desc, &attributes, nullptr);
        if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) context_.valid = true;
        first = false;
        const ContextBuffer token(out[0].pvBuffer);

        if (status == SEC_E_INCOMPLETE_MESSAGE && may_decline) return done();
        may_decline = false;
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            need_input = true;
            continue;
        }
        // A token goes out even with a failure: with an extended error it is the alert
        // that tells the server why.
        if (token && out[0].cbBuffer > 0) {
            const Step sent = send_all(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
            if (!sent.ok) return sent;
        }
        if (status == SEC_E_OK) {
            keep_extra(incoming_, in[1]);
            return done();
        }
        if (status == SEC_I_CONTINUE_NEEDED) {
            keep_extra(incoming_, in[1]);
            need_input = incoming_.empty();
            continue;
        }
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The server asks for a client certificate: we have none, and say so by
            // answering without one.
            need_input = false;
            continue;
        }
        return {false, TlsFailure::handshake, "TLS handshake failed: " + hex_status(status)};
    }
}

Step SchannelSession::describe_and_verify(const TlsOptions& options)
{
    PCCERT_CONTEXT remote = nullptr;
    const SECURITY_STATUS got = QueryContextAttributesA(&context_.handle, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote);
    if (got != SEC_E_OK || remote == nullptr)
        return {false, TlsFailure::untrusted, "the server sent no certificate (" + hex_status(got) + ")"};
    const Certificate leaf(remote);

    SecPkgContext_ConnectionInfo connection{};
    if (QueryContextAttributesA(&context_.handle, SECPKG_ATTR_CONNECTION_INFO, &connection) == SEC_E_OK) {
        peer_.version = protocol_name(connection.dwProtocol);
        peer_.cipher = algorithm_name(connection.aiExch, connection.dwExchStrength) + "-"
                       + algorithm_name(connection.aiCipher, connection.dwCipherStrength) + "-"
                       + algorithm_name(connection.aiHash, connection.dwHashStrength);
    }
    // The suite's own name where the system tells it (Windows Vista and later).
    SecPkgContext_CipherInfo suite{};
    suite.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (QueryContextAttributesA(&context_.handle, SECPKG_ATTR_CIPHER_INFO, &suite) == SEC_E_OK
        && suite.szCipherSuite[0]) {
        const std::string name = narrow(suite.szCipherSuite);
        if (name.find('<') == std::string::npos) peer_.cipher = name;  // Wine leaves parts "<unknown>"
    }

    // Kept for the log in case the check below refuses it.
    presented_ = presented_by(leaf.get());
    static_cast<TlsCertificateInfo&>(peer_) = presented_.front();

    if (!options.pin_sha256.empty()) {
        if (peer_.sha256.empty()) return {false, TlsFailure::pin_mismatch, "no SHA-256 available to check the pin"};
        if (peer_.sha256 != normalised_pin(options.pin_sha256))
            return {false, TlsFailure::pin_mismatch,
                    "the certificate's SHA-256 is " + peer_.sha256 + ", not the pinned " + normalised_pin(options.pin_sha256)};
        return done();
    }
    // Without a name the policy would check none: never accept a chain for any name.
    if (options.server_name.empty())
        return {false, TlsFailure::name_mismatch, "no name to check the certificate against"};
    const Verdict verdict = verify_chain(leaf.get(), options);
    if (!verdict.ok) return {false, verdict.failure, verdict.detail};
    return done();
}

Step SchannelSession::start(const TlsOptions& options)
{
    if (!is_ip_literal(options.server_name)) target_ = options.server_name;
    Step step = acquire_credentials();
    if (step.ok) step = handshake(true);
    if (step.ok) step = describe_and_verify(options);
    if (step.ok && QueryContextAttributesA(&context_.handle, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK)
        step = {false, TlsFailure::handshake, "the TLS session has no record sizes"};
    // A refused certificate: the session itself stands, so end it politely.
    if (!step.ok && step.failure != TlsFailure::handshake && step.failure != TlsFailure::timed_out
        && step.failure != TlsFailure::closed)
        shutdown();
    return step;
}

IoResult SchannelSession::send(const char* data, std::size_t length)
{
    if (!context_.valid) return {IoStatus::closed, 0};
    if (length == 0) return {IoStatus::ok, 0};
    const std::size_t count = std::min<std::size_t>(length, sizes_.cbMaximumMessage);
    std::string& record = outgoing_;
    record.resize(sizes_.cbHeader + count + sizes_.cbTrailer);
    std::memcpy(record.data() + sizes_.cbHeader, data, count);
    SecBuffer buffers[4]{};
    buffers[0] = {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()};
    buffers[1] = {static_cast<unsigned long>(count), SECBUFFER_DATA, record.data() + sizes_.cbHeader};
    buffers[2] = {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + count};
    buffers[3].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&context_.handle, 0, &desc, 0) != SEC_E_OK) return {IoStatus::failed, 0};
    const std::size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
    const Step sent = send_all(record.data(), total);
    if (!sent.ok) return {sent.failure == TlsFailure::timed_out ? IoStatus::timed_out : IoStatus::failed, 0};
    return {IoStatus::ok, count};
}

IoResult SchannelSession::receive(char* buffer, std::size_t size)
{
    for (;;) {
        if (plain_at_ < plain_.size()) {
            const std::size_t count = std::min(size, plain_.size() - plain_at_);
            std::memcpy(buffer, plain_.data() + plain_at_, count);
            plain_at_ += count;
            return {IoStatus::ok, count};
        }
        plain_.clear();
        plain_at_ = 0;
        if (ended_ || !context_.valid) return {IoStatus::closed, 0};

        if (!incoming_.empty()) {
            SecBuffer buffers[4]{};
            buffers[0] = {static_cast<unsigned long>(incoming_.size()), SECBUFFER_DATA, incoming_.data()};
            for (int i = 1; i < 4; ++i) buffers[i].BufferType = SECBUFFER_EMPTY;
            SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
            const auto record_type = static_cast<unsigned char>(incoming_[0]);
            const SECURITY_STATUS status = DecryptMessage(&context_.handle, &desc, 0, nullptr);
            if (status != SEC_E_INCOMPLETE_MESSAGE) {
                if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
                            return {IoStatus::failed, 0};
                }
                // Decrypted in place: take the data out before the input is cut down.
                const SecBuffer* extra = nullptr;
                for (const SecBuffer& b : buffers) {
                    if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0)
                        plain_.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
                    if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer > 0) extra = &b;
                }
                if (extra) keep_extra(incoming_, *extra);
                else incoming_.clear();
                // Wine reports a TLS 1.2 close_notify as an empty record; any alert after
                // the handshake ends the session all the same.
                const bool alert = status == SEC_E_OK && plain_.empty() && record_type == 0x15;
                if (status == SEC_I_CONTEXT_EXPIRED || alert) {
                    ended_ = true;  // close_notify: what is left over means nothing
                    incoming_.clear();
                } else if (status == SEC_I_RENEGOTIATE) {
                    // The server speaks handshake again (a renegotiation, or TLS 1.3 tickets
                    // and key updates): the bytes it left over belong to that handshake.
                    const Step again = handshake(false);
                    if (!again.ok)
                        return {again.failure == TlsFailure::timed_out ? IoStatus::timed_out : IoStatus::failed, 0};
                }
                continue;
            }
        }
        // More bytes from the socket for a whole record.
        const std::size_t had = incoming_.size();
        const std::size_t chunk = std::max<std::size_t>(
            sizes_.cbHeader + sizes_.cbMaximumMessage + sizes_.cbTrailer, 16384 + 512);
        incoming_.resize(had + chunk);
        const IoResult got = socket_receive(socket_, incoming_.data() + had, chunk);
        incoming_.resize(had + (got.status == IoStatus::ok ? got.count : 0));
        if (got.status == IoStatus::closed) {
            ended_ = true;  // the stream ended without close_notify: nothing more comes
            return {IoStatus::closed, 0};
        }
        if (got.status != IoStatus::ok) return {got.status, 0};
    }
}

void SchannelSession::shutdown() noexcept
{
    if (!context_.valid || !credentials_.valid) return;
    DWORD kind = SCHANNEL_SHUTDOWN;
    SecBuffer in{sizeof kind, SECBUFFER_TOKEN, &kind};
    SecBufferDesc in_desc{SECBUFFER_VERSION, 1, &in};
    if (ApplyControlToken(&context_.handle, &in_desc) != SEC_E_OK) return;
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
    DWORD attributes = 0;
    char* target = target_.empty() ? nullptr : target_.data();
    const SECURITY_STATUS status = InitializeSecurityContextA(&credentials_.handle, &context_.handle, target,
                                                              request_flags, 0, 0, nullptr, 0, nullptr, &out_desc,
                                                              &attributes, nullptr);
    const ContextBuffer token(out.pvBuffer);
    if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && token && out.cbBuffer > 0)
        send_all(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
    // Once is enough: a second close_notify would be a protocol error.
    ended_ = true;
    context_.reset();
}

}  // namespace

TlsStartResult tls_start(SocketHandle socket, const TlsOptions& options)
{
    auto session = std::make_unique<SchannelSession>(socket);
    const Step step = session->start(options);
    TlsStartResult result;
    if (step.ok) {
        result.session = std::move(session);
    } else {
        result.failure = step.failure;
        result.detail = step.detail;
        result.presented = session->take_presented();
    }
    return result;
}

}  // namespace zanpost::platform
