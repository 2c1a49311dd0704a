#include "update/signature.h"

#include <windows.h>

#include <bcrypt.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const ULONG COORDINATE_BYTES = 32;

struct AlgorithmCloser {
    void operator()(BCRYPT_ALG_HANDLE algorithm) const { BCryptCloseAlgorithmProvider(algorithm, 0); }
};
using AlgorithmHandle = std::unique_ptr<void, AlgorithmCloser>;

struct HashDestroyer {
    void operator()(BCRYPT_HASH_HANDLE hash) const { BCryptDestroyHash(hash); }
};
using HashHandle = std::unique_ptr<void, HashDestroyer>;

struct KeyDestroyer {
    void operator()(BCRYPT_KEY_HANDLE key) const { BCryptDestroyKey(key); }
};
using KeyHandle = std::unique_ptr<void, KeyDestroyer>;

bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

AlgorithmHandle OpenAlgorithm(const wchar_t* name)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!Succeeded(BCryptOpenAlgorithmProvider(&algorithm, name, nullptr, 0))) {
        return AlgorithmHandle();
    }
    return AlgorithmHandle(algorithm);
}

bool HashSha256(const std::string& message, std::vector<UCHAR>& digest)
{
    const AlgorithmHandle algorithm = OpenAlgorithm(BCRYPT_SHA256_ALGORITHM);
    if (!algorithm || message.size() > ULONG_MAX) {
        return false;
    }
    // Windows 7 wants the caller to provide the hash object's memory.
    DWORD objectBytes = 0;
    ULONG written = 0;
    if (!Succeeded(BCryptGetProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectBytes),
                                     sizeof(objectBytes), &written, 0))) {
        return false;
    }
    std::vector<UCHAR> object(objectBytes);
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    if (!Succeeded(BCryptCreateHash(algorithm.get(), &rawHash, object.data(), objectBytes, nullptr, 0, 0))) {
        return false;
    }
    const HashHandle hash(rawHash);
    // BCryptHashData only reads its input; its parameter is not const for historical reasons.
    PUCHAR bytes = reinterpret_cast<PUCHAR>(const_cast<char*>(message.data()));
    digest.assign(COORDINATE_BYTES, 0);
    return Succeeded(BCryptHashData(hash.get(), bytes, static_cast<ULONG>(message.size()), 0)) &&
           Succeeded(BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0));
}

} // namespace

bool VerifyEcdsaP256Sha256(const std::string& message, const EcdsaP256Signature& signature,
                           const EcdsaP256PublicKey& key)
{
    std::vector<UCHAR> digest;
    if (!HashSha256(message, digest)) {
        return false;
    }
    // The P-256 algorithm by its own name: the generic "ECDSA" provider and asking a provider for its name are not
    // available everywhere the updater runs.
    const AlgorithmHandle algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    if (!algorithm) {
        return false;
    }
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
    BCRYPT_ECCKEY_BLOB header = {};
    header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = COORDINATE_BYTES;
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), key.data(), key.size());
    BCRYPT_KEY_HANDLE rawKey = nullptr;
    if (!Succeeded(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &rawKey, blob.data(),
                                       static_cast<ULONG>(blob.size()), 0))) {
        return false;
    }
    const KeyHandle publicKey(rawKey);
    EcdsaP256Signature rs = signature;
    return BCryptVerifySignature(publicKey.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()), rs.data(),
                                 static_cast<ULONG>(rs.size()), 0) == 0;
}
