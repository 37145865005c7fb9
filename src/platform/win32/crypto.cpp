// The crypto of the Windows build: CNG (bcrypt) for digests, random bytes and signatures,
// CryptoAPI (crypt32) to turn PEM and DER into a key blob CNG takes, and DPAPI for sealed
// secrets.
//
// Wine (8.0) signs through GnuTLS, PSS included, once the key reaches it in the form it
// takes (see cng_private_blob and unwrap_pkcs8).

#include "platform/crypto.h"

#include "platform/pem.h"
#include "platform/win32/windows_api.h"

#include <bcrypt.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace zanpost::platform {

namespace {

constexpr DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// An NTSTATUS in the words of the message, in hex as the documentation lists them.
std::string status_text(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
    return text;
}

void check(NTSTATUS status, const std::string& what)
{
    if (!BCRYPT_SUCCESS(status)) throw ECryptoError(what + " (status " + status_text(status) + ")");
}

struct AlgorithmClose {
    void operator()(void* handle) const noexcept { BCryptCloseAlgorithmProvider(handle, 0); }
};
struct HashDestroy {
    void operator()(void* handle) const noexcept { BCryptDestroyHash(handle); }
};
struct KeyDestroy {
    void operator()(void* handle) const noexcept { BCryptDestroyKey(handle); }
};
using Algorithm = std::unique_ptr<void, AlgorithmClose>;
using Hash = std::unique_ptr<void, HashDestroy>;
using Key = std::unique_ptr<void, KeyDestroy>;

Algorithm open_algorithm(LPCWSTR name)
{
    BCRYPT_ALG_HANDLE handle = nullptr;
    check(BCryptOpenAlgorithmProvider(&handle, name, nullptr, 0), "the system's crypto provider cannot be opened");
    return Algorithm(handle);
}

// Memory that CryptoAPI allocated with LocalAlloc (CRYPT_DECODE_ALLOC_FLAG, DPAPI output);
// wiped before it is given back, as it may hold a private key or a secret.
class LocalBlock {
public:
    LocalBlock() = default;
    ~LocalBlock()
    {
        if (data_ != nullptr) {
            SecureZeroMemory(data_, size_);
            LocalFree(data_);
        }
    }
    LocalBlock(const LocalBlock&) = delete;
    LocalBlock& operator=(const LocalBlock&) = delete;
    template <typename T>
    T* as() const noexcept { return static_cast<T*>(data_); }
    void** out() noexcept { return &data_; }
    DWORD* size_out() noexcept { return &size_; }
    BYTE* bytes() const noexcept { return static_cast<BYTE*>(data_); }
    DWORD size() const noexcept { return size_; }

private:
    void* data_ = nullptr;
    DWORD size_ = 0;
};

// Bytes of key material in a std::string, wiped when they go.
class SecretBytes {
public:
    explicit SecretBytes(std::size_t size) : bytes_(size, '\0') {}
    ~SecretBytes() { SecureZeroMemory(bytes_.data(), bytes_.size()); }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    BYTE* data() noexcept { return reinterpret_cast<BYTE*>(bytes_.data()); }
    DWORD size() const noexcept { return DWORD(bytes_.size()); }
    void resize(std::size_t size) { bytes_.resize(size); }

private:
    std::string bytes_;
};

bool decode(LPCSTR type, const BYTE* der, DWORD size, LocalBlock& out)
{
    return CryptDecodeObjectEx(encoding, type, der, size, CRYPT_DECODE_ALLOC_FLAG, nullptr, out.out(),
                               out.size_out()) != 0;
}

// A stretch of DER bytes, read element by element.
struct Der {
    const BYTE* data;
    std::size_t size;

    // The next element if it has `tag`, its contents in `content`; false when it has
    // another tag or runs past the end.
    bool take(BYTE tag, Der& content)
    {
        if (size < 2 || data[0] != tag) return false;
        std::size_t length = data[1];
        std::size_t head = 2;
        if (length & 0x80) {
            const std::size_t count = length & 0x7F;
            if (count == 0 || count > 4 || size < 2 + count) return false;
            length = 0;
            for (std::size_t i = 0; i < count; ++i) length = (length << 8) | data[2 + i];
            head += count;
        }
        if (size - head < length) return false;
        content = Der{data + head, length};
        data += head + length;
        size -= head + length;
        return true;
    }
};

// The PKCS#1 key inside a PKCS#8 PrivateKeyInfo, read by hand: Wine's crypt32 (8.0) has no
// decoder for PKCS_PRIVATE_KEY_INFO and fails with ERROR_FILE_NOT_FOUND.
bool unwrap_pkcs8(const BYTE* der, DWORD size, Der& rsa_key)
{
    static const BYTE rsa_oid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};  // 1.2.840.113549.1.1.1
    Der all{der, size};
    Der info{};
    Der version{};
    Der algorithm{};
    Der oid{};
    if (!all.take(0x30, info) || !info.take(0x02, version) || !info.take(0x30, algorithm) ||
        !algorithm.take(0x06, oid))
        return false;
    if (oid.size != sizeof rsa_oid || std::memcmp(oid.data, rsa_oid, sizeof rsa_oid) != 0)
        throw ECryptoError("the private key is not an RSA key");
    return info.take(0x04, rsa_key);
}

// CryptoAPI's private-key blob (BLOBHEADER, RSAPUBKEY, then little-endian numbers) as CNG's
// BCRYPT_RSAPRIVATE_BLOB (big-endian numbers). CNG could take the CryptoAPI blob itself as
// LEGACY_RSAPRIVATE_BLOB, but Wine's bcrypt (8.0) refuses that with STATUS_NOT_SUPPORTED;
// this form every CNG since Vista takes.
std::string cng_private_blob(const LocalBlock& legacy)
{
    const std::size_t fixed = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
    if (legacy.size() < fixed) throw ECryptoError("the private key cannot be read (RSA)");
    RSAPUBKEY header{};
    std::memcpy(&header, legacy.bytes() + sizeof(BLOBHEADER), sizeof header);
    const std::size_t modulus = header.bitlen / 8;
    const std::size_t prime = header.bitlen / 16;
    if (header.magic != 0x32415352 /* "RSA2" */ || header.bitlen % 16 != 0 ||
        legacy.size() < fixed + modulus + 2 * prime)
        throw ECryptoError("the private key cannot be read (RSA)");

    std::string exponent;
    for (DWORD e = header.pubexp; e != 0; e >>= 8) exponent.insert(exponent.begin(), char(e & 0xFF));
    BCRYPT_RSAKEY_BLOB cng{BCRYPT_RSAPRIVATE_MAGIC, header.bitlen, ULONG(exponent.size()), ULONG(modulus),
                           ULONG(prime), ULONG(prime)};
    std::string blob;
    blob.reserve(sizeof cng + exponent.size() + modulus + 2 * prime);  // no copy of the key left behind
    blob.append(reinterpret_cast<const char*>(&cng), sizeof cng);
    blob += exponent;
    const char* number = reinterpret_cast<const char*>(legacy.bytes()) + fixed;
    for (const std::size_t length : {modulus, prime, prime}) {
        for (std::size_t i = length; i > 0; --i) blob.push_back(number[i - 1]);
        number += length;
    }
    return blob;
}

// The key of `pem` as a CNG key, by way of the CryptoAPI private-key blob.
Key import_rsa_key(const std::string& pem, BCRYPT_ALG_HANDLE rsa)
{
    const pem::KeyBlock key_block = pem::rsa_key_block(pem);
    const std::string_view body = key_block.block.body;
    DWORD der_size = 0;
    if (!CryptStringToBinaryA(body.data(), DWORD(body.size()), CRYPT_STRING_BASE64, nullptr, &der_size, nullptr,
                              nullptr))
        throw ECryptoError("the private key is not valid base64");
    SecretBytes der(der_size);
    if (!CryptStringToBinaryA(body.data(), DWORD(body.size()), CRYPT_STRING_BASE64, der.data(), &der_size, nullptr,
                              nullptr))
        throw ECryptoError("the private key is not valid base64");
    der.resize(der_size);

    // PKCS#8 wraps the PKCS#1 key together with the name of its algorithm.
    LocalBlock wrapped;
    const BYTE* rsa_der = der.data();
    DWORD rsa_der_size = der.size();
    if (key_block.form == pem::KeyForm::pkcs8) {
        if (decode(PKCS_PRIVATE_KEY_INFO, der.data(), der.size(), wrapped)) {
            const auto* info = wrapped.as<CRYPT_PRIVATE_KEY_INFO>();
            if (info->Algorithm.pszObjId == nullptr || std::strcmp(info->Algorithm.pszObjId, szOID_RSA_RSA) != 0)
                throw ECryptoError("the private key is not an RSA key");
            rsa_der = info->PrivateKey.pbData;
            rsa_der_size = info->PrivateKey.cbData;
        } else {
            Der inner{};
            if (GetLastError() != ERROR_FILE_NOT_FOUND || !unwrap_pkcs8(der.data(), der.size(), inner))
                throw ECryptoError("the private key cannot be read (PKCS#8)");
            rsa_der = inner.data;
            rsa_der_size = DWORD(inner.size);
        }
    }
    LocalBlock legacy;
    if (!decode(PKCS_RSA_PRIVATE_KEY, rsa_der, rsa_der_size, legacy))
        throw ECryptoError("the private key cannot be read (RSA)");
    std::string blob = cng_private_blob(legacy);

    BCRYPT_KEY_HANDLE key = nullptr;
    const NTSTATUS status = BCryptImportKeyPair(rsa, nullptr, BCRYPT_RSAPRIVATE_BLOB, &key,
                                                reinterpret_cast<PUCHAR>(blob.data()), ULONG(blob.size()), 0);
    SecureZeroMemory(blob.data(), blob.size());
    check(status, "the system refuses the private key");
    return Key(key);
}

}  // namespace

std::string sha256(std::string_view data)
{
    const Algorithm algorithm = open_algorithm(BCRYPT_SHA256_ALGORITHM);
    BCRYPT_HASH_HANDLE handle = nullptr;
    check(BCryptCreateHash(algorithm.get(), &handle, nullptr, 0, nullptr, 0, 0), "SHA-256 failed");
    const Hash hash(handle);
    while (!data.empty()) {
        const ULONG piece = data.size() > 0x40000000u ? 0x40000000u : ULONG(data.size());
        check(BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())), piece, 0),
              "SHA-256 failed");
        data.remove_prefix(piece);
    }
    std::string digest(32, '\0');
    check(BCryptFinishHash(hash.get(), reinterpret_cast<PUCHAR>(digest.data()), 32, 0), "SHA-256 failed");
    return digest;
}

std::string random_bytes(std::size_t count)
{
    std::string bytes(count, '\0');
    std::size_t done = 0;
    while (done < count) {
        const ULONG piece = count - done > 0x40000000u ? 0x40000000u : ULONG(count - done);
        check(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(bytes.data() + done), piece,
                              BCRYPT_USE_SYSTEM_PREFERRED_RNG),
              "the system gives no random bytes");
        done += piece;
    }
    return bytes;
}

std::string rsa_sha256_sign(const std::string& pem, std::string_view data, RsaPadding padding)
{
    const Algorithm rsa = open_algorithm(BCRYPT_RSA_ALGORITHM);
    const Key key = import_rsa_key(pem, rsa.get());
    std::string digest = sha256(data);

    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
    BCRYPT_PSS_PADDING_INFO pss{BCRYPT_SHA256_ALGORITHM, 32};
    void* padding_info = padding == RsaPadding::pss ? static_cast<void*>(&pss) : static_cast<void*>(&pkcs1);
    const ULONG flags = padding == RsaPadding::pss ? BCRYPT_PAD_PSS : BCRYPT_PAD_PKCS1;
    const auto hash = reinterpret_cast<PUCHAR>(digest.data());
    ULONG length = 0;
    check(BCryptSignHash(key.get(), padding_info, hash, ULONG(digest.size()), nullptr, 0, &length, flags),
          "cannot sign with the private key");
    std::string signature(length, '\0');
    check(BCryptSignHash(key.get(), padding_info, hash, ULONG(digest.size()), reinterpret_cast<PUCHAR>(signature.data()),
                         length, &length, flags),
          padding == RsaPadding::pss ? "cannot sign with PSS padding" : "cannot sign with the private key");
    signature.resize(length);
    return signature;
}

std::string seal_for_user(std::string_view plain)
{
    DATA_BLOB in{DWORD(plain.size()), reinterpret_cast<BYTE*>(const_cast<char*>(plain.data()))};
    DATA_BLOB out{};
    if (!CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
        throw ECryptoError("the secret cannot be sealed for this user (error " + std::to_string(GetLastError()) + ")");
    std::string sealed(reinterpret_cast<const char*>(out.pbData), out.cbData);
    LocalFree(out.pbData);
    return sealed;
}

std::optional<std::string> unseal_for_user(std::string_view sealed)
{
    DATA_BLOB in{DWORD(sealed.size()), reinterpret_cast<BYTE*>(const_cast<char*>(sealed.data()))};
    DATA_BLOB out{};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
        return std::nullopt;
    std::string plain(reinterpret_cast<const char*>(out.pbData), out.cbData);
    SecureZeroMemory(out.pbData, out.cbData);
    LocalFree(out.pbData);
    return plain;
}

bool sealing_protects() noexcept
{
    return true;
}

}  // namespace zanpost::platform
