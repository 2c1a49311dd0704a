#include "update/signature.h"

#include "fs/fs.h"
#include "fs/handles.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

struct KeyDestroyer {
    void operator()(BCRYPT_KEY_HANDLE key) const { BCryptDestroyKey(key); }
};
using KeyHandle = std::unique_ptr<void, KeyDestroyer>;

bool HashSha256(const std::string& message, Sha256Digest& digest)
{
    const Sha256Stream hash = StartSha256();
    return hash && AddSha256(hash, message.data(), message.size()) && FinishSha256(hash, digest);
}

} // namespace

bool VerifyEcdsaP256Sha256(const std::string& message, const EcdsaP256Signature& signature,
                           const EcdsaP256PublicKey& key)
{
    Sha256Digest digest{};
    if (!HashSha256(message, digest)) {
        return false;
    }
    // The P-256 algorithm by its own name: the generic "ECDSA" provider and asking a provider for its name are not
    // available everywhere the updater runs.
    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0) {
        return false;
    }
    const AlgorithmHandle algorithm(rawAlgorithm);
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
    BCRYPT_ECCKEY_BLOB header = {};
    header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = static_cast<ULONG>(key.size() / 2); // X, then Y
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), key.data(), key.size());
    BCRYPT_KEY_HANDLE rawKey = nullptr;
    if (BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &rawKey, blob.data(),
                            static_cast<ULONG>(blob.size()), 0) < 0) {
        return false;
    }
    const KeyHandle publicKey(rawKey);
    EcdsaP256Signature rs = signature;
    return BCryptVerifySignature(publicKey.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()), rs.data(),
                                 static_cast<ULONG>(rs.size()), 0) == 0;
}
