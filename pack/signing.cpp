#include "pack/signing.h"

#include "pack/pack.h"
#include "update/checksum_list.h"

std::filesystem::path SignaturePathOf(const std::filesystem::path& list)
{
    std::filesystem::path signature = list;
    signature += ".sig";
    return signature;
}

bool VerifyChecksumListFiles(const std::filesystem::path& list, const std::filesystem::path& publicKey,
                             uint64_t& release, std::string& message)
{
    const std::filesystem::path signaturePath = SignaturePathOf(list);
    std::string listBytes;
    ChecksumList parsed{};
    if (!ReadWholeFile(list, CHECKSUM_LIST_MAX_BYTES, listBytes) || !ParseChecksumList(listBytes, parsed)) {
        message = PathToUtf8(list) + " cannot be read or is not a checksum list the updater accepts";
        return false;
    }
    // Read well beyond the largest signature, so that an oversized one is named for what it is, not as missing.
    std::string der;
    if (!ReadWholeFile(signaturePath, PUBLIC_KEY_PEM_MAX_BYTES, der)) {
        message = "no signature: " + PathToUtf8(signaturePath) + " cannot be read";
        return false;
    }
    EcdsaP256Signature signature{};
    if (!ParseDerSignature(der, signature)) {
        message = PathToUtf8(signaturePath) + " is not an ECDSA signature in strict DER form";
        return false;
    }
    std::string pem;
    EcdsaP256PublicKey key{};
    if (!ReadWholeFile(publicKey, PUBLIC_KEY_PEM_MAX_BYTES, pem) || !ParsePublicKeyPem(pem, key)) {
        message = PathToUtf8(publicKey) + " cannot be read or is not a P-256 public key PEM (BEGIN PUBLIC KEY)";
        return false;
    }
#ifdef _WIN32
    const bool verified = VerifyEcdsaP256Sha256(listBytes, signature, key);
#else
    const bool verified = VerifyWithLibcrypto(listBytes, der, key);
#endif
    if (!verified) {
        message =
            PathToUtf8(signaturePath) + " is not a signature of " + PathToUtf8(list) + " by " + PathToUtf8(publicKey);
        return false;
    }
    release = parsed.release;
    return true;
}
