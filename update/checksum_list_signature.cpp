#include "update/signature.h"

#include "update/release_keys.h"

// Apart from the BCrypt check itself, so that the package tool can link that check without any release keys.

bool VerifyChecksumListSignature(const std::string& listBytes, const std::string& derSignature)
{
    EcdsaP256Signature signature{};
    if (!ParseDerSignature(derSignature, signature)) {
        return false;
    }
    for (size_t i = 0; RELEASE_KEY_PEMS[i] != nullptr; ++i) {
        // A key that does not parse verifies nothing; it still counts as built in, so the run stays strict.
        EcdsaP256PublicKey key{};
        if (ParsePublicKeyPem(RELEASE_KEY_PEMS[i], key) && VerifyEcdsaP256Sha256(listBytes, signature, key)) {
            return true;
        }
    }
    return false;
}

bool ReleaseKeysBuiltIn()
{
    return RELEASE_KEY_PEMS[0] != nullptr;
}
