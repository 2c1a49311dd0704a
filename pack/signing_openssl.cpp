// The studio's side of the signature, through Debian's libcrypto: the native tool only. The key and the signature
// are still read by the updater's own parsers, so that the tool never accepts what a player's updater refuses.
#include "pack/signing.h"

#include "pack/manifest.h"
#include "pack/pack.h"
#include "update/checksum_list.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char CURVE_NAME[] = "prime256v1";
const mode_t PRIVATE_KEY_MODE = 0600;
const mode_t PUBLIC_KEY_MODE = 0644;

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

struct KeyContextFree {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, KeyContextFree>;

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

std::string MemoryText(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

// Creates path with mode and writes bytes; false, leaving nothing, when it exists or cannot be written whole.
bool WriteNewFile(const std::filesystem::path& path, const std::string& bytes, mode_t mode)
{
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (file < 0) {
        return false;
    }
    size_t done = 0;
    bool whole = true;
    while (done < bytes.size()) {
        const ssize_t written = write(file, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            whole = false;
            break;
        }
        done += static_cast<size_t>(written);
    }
    if (close(file) != 0 || !whole) {
        unlink(path.c_str());
        return false;
    }
    return true;
}

bool Exists(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found;
}

bool IsP256Key(EVP_PKEY* key)
{
    char group[64] = {};
    size_t length = 0;
    return EVP_PKEY_is_a(key, "EC") && EVP_PKEY_get_group_name(key, group, sizeof(group), &length) == 1 &&
           std::strcmp(group, CURVE_NAME) == 0;
}

} // namespace

bool MakeKeyPair(const std::filesystem::path& privateKey, const std::filesystem::path& publicKey,
                 std::string& fingerprint, std::string& message)
{
    for (const std::filesystem::path& path : {privateKey, publicKey}) {
        if (Exists(path)) {
            message = PathToUtf8(path) + " exists; a key is never replaced (remove it first if it is meant)";
            return false;
        }
    }
    const Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    const Bio privateText(BIO_new(BIO_s_mem()));
    const Bio publicText(BIO_new(BIO_s_mem()));
    if (!key || !privateText || !publicText ||
        PEM_write_bio_PrivateKey(privateText.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_PUBKEY(publicText.get(), key.get()) != 1) {
        message = "libcrypto could not make a P-256 key";
        return false;
    }
    EcdsaP256PublicKey parsed{};
    if (!ParsePublicKeyPem(MemoryText(publicText.get()), parsed)) {
        message = "libcrypto wrote a public key the updater would not read";
        return false;
    }
    fingerprint = KeyFingerprint(parsed);
    if (!WriteNewFile(privateKey, MemoryText(privateText.get()), PRIVATE_KEY_MODE)) {
        message = "cannot create " + PathToUtf8(privateKey);
        return false;
    }
    if (!WriteNewFile(publicKey, MemoryText(publicText.get()), PUBLIC_KEY_MODE)) {
        unlink(privateKey.c_str());
        message = "cannot create " + PathToUtf8(publicKey) + "; no key was kept";
        return false;
    }
    return true;
}

bool SignChecksumList(const std::filesystem::path& list, const std::filesystem::path& privateKey,
                      const std::string* passphrase, SignedList& result, std::string& message)
{
    std::string listBytes;
    ChecksumList parsed{};
    if (!ReadWholeFile(list, UINT64_MAX, listBytes)) {
        message = PathToUtf8(list) + ": cannot read it; nothing signed";
        return false;
    }
    if (!ParseChecksumList(listBytes, parsed)) {
        message =
            PathToUtf8(list) + ": the updater refuses this list: " + ExplainListRefusal(listBytes) + "; nothing signed";
        return false;
    }
    // The updater would take such a list as the oldest release and refuse it wherever a release is installed.
    if (HasMalformedReleaseLine(listBytes)) {
        message = PathToUtf8(list) + ": a malformed release line (it must be the first line, \"# release N\", N of "
                                     "1 to 18 digits without a leading zero); nothing signed";
        return false;
    }
    if (IsReleaseTooFarAhead(parsed.release, UtcNowSeconds())) {
        message = PathToUtf8(list) + ": release " + std::to_string(parsed.release) +
                  " lies more than a day beyond the current UTC time; an updater that installs it refuses every "
                  "later list until then; nothing signed";
        return false;
    }
    const Bio keyFile(BIO_new_file(privateKey.c_str(), "r"));
    // Without a passphrase given, an encrypted key asks for it on the terminal, as openssl itself does.
    void* typedOrGiven = passphrase != nullptr ? const_cast<char*>(passphrase->c_str()) : nullptr;
    const Key key(keyFile ? PEM_read_bio_PrivateKey(keyFile.get(), nullptr, nullptr, typedOrGiven) : nullptr);
    const Bio publicText(BIO_new(BIO_s_mem()));
    EcdsaP256PublicKey publicKey{};
    if (!key || !IsP256Key(key.get()) || !publicText || PEM_write_bio_PUBKEY(publicText.get(), key.get()) != 1 ||
        !ParsePublicKeyPem(MemoryText(publicText.get()), publicKey)) {
        message = PathToUtf8(privateKey) + ": cannot be read or is not a P-256 private key PEM" +
                  (passphrase != nullptr ? " that the passphrase opens" : "");
        return false;
    }
    result.fingerprint = KeyFingerprint(publicKey);
    result.release = parsed.release;
    const DigestContext context(EVP_MD_CTX_new());
    size_t size = 0;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(listBytes.data());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &size, data, listBytes.size()) != 1) {
        message = "libcrypto could not sign with " + PathToUtf8(privateKey);
        return false;
    }
    std::string der(size, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(&der[0]), &size, data, listBytes.size()) != 1) {
        message = "libcrypto could not sign with " + PathToUtf8(privateKey);
        return false;
    }
    der.resize(size);
    EcdsaP256Signature checked{};
    if (!ParseDerSignature(der, checked)) {
        message = "libcrypto made a signature the updater would not read";
        return false;
    }
    // Players may fetch the signature at any moment: they see the old file or the new one, never a part.
    const std::filesystem::path signature = SignaturePathOf(list);
    result.replaced = Exists(signature);
    return WriteOutputFile(signature, der, message);
}

bool VerifyWithLibcrypto(const std::string& message, const std::string& derSignature, const EcdsaP256PublicKey& key)
{
    unsigned char point[1 + sizeof(EcdsaP256PublicKey)] = {0x04};
    std::memcpy(point + 1, key.data(), key.size());
    char curve[sizeof(CURVE_NAME)];
    std::memcpy(curve, CURVE_NAME, sizeof(CURVE_NAME));
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, curve, 0),
                           OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof(point)),
                           OSSL_PARAM_construct_end()};
    // Loading the point checks that it lies on the curve.
    const KeyContext keyContext(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* loaded = nullptr;
    if (!keyContext || EVP_PKEY_fromdata_init(keyContext.get()) != 1 ||
        EVP_PKEY_fromdata(keyContext.get(), &loaded, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        return false;
    }
    const Key publicKey(loaded);
    const DigestContext context(EVP_MD_CTX_new());
    return context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, publicKey.get()) == 1 &&
           EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(derSignature.data()),
                            derSignature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}
