#include "pack/signing.h"

#include "pack/delta.h"
#include "pack/manifest.h"
#include "pack/pack.h"
#include "update/checksum_list.h"

#include <cstdio>

std::filesystem::path SignaturePathOf(const std::filesystem::path& list)
{
    std::filesystem::path signature = list;
    signature += ".sig";
    return signature;
}

std::string KeyFingerprint(const EcdsaP256PublicKey& key)
{
    unsigned char point[1 + sizeof(EcdsaP256PublicKey)] = {0x04};
    std::copy(key.begin(), key.end(), point + 1);
    return "SHA256:" + FormatDigestHex(Sha256Of(point, sizeof(point)));
}

bool VerifyChecksumListFiles(const std::filesystem::path& list, const std::filesystem::path& publicKey,
                             ChecksumList& parsed, std::string& fingerprint, std::string& message)
{
    const std::filesystem::path signaturePath = SignaturePathOf(list);
    std::string listBytes;
    // One byte over the limit is enough to tell that the list is too long.
    if (!ReadWholeFile(list, UINT64_MAX, listBytes)) {
        message = PathToUtf8(list) + ": cannot read it";
        return false;
    }
    if (!ParseChecksumList(listBytes, parsed)) {
        message = PathToUtf8(list) + ": the updater refuses this list: " + ExplainListRefusal(listBytes);
        return false;
    }
    std::string pem;
    EcdsaP256PublicKey key{};
    if (!ReadWholeFile(publicKey, PUBLIC_KEY_PEM_MAX_BYTES, pem) || !ParsePublicKeyPem(pem, key)) {
        message = PathToUtf8(publicKey) + ": cannot be read or is not a P-256 public key PEM (BEGIN PUBLIC KEY)";
        return false;
    }
    fingerprint = KeyFingerprint(key);
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
    return true;
}

void CheckListedFiles(const ChecksumList& list, const std::filesystem::path& folder, Findings& findings)
{
    std::vector<std::pair<std::string, const Sha256Digest*>> listed = {{"game.exe", &list.gameExecutable},
                                                                       {"lib.zip", &list.libraryPackage}};
    for (const LibraryFileChecksum& file : list.libraryFiles) {
        std::string path = WideToUtf8(file.relativePath);
        std::replace(path.begin(), path.end(), '\\', '/');
        listed.emplace_back("lib/" + path, &file.digest);
    }
    for (const ListedFile& file : list.otherFiles) {
        listed.emplace_back(file.name, &file.digest);
    }
    size_t found = 0;
    std::vector<std::string> missing;
    for (const auto& item : listed) {
        const std::filesystem::path path = folder / PathFromUtf8(item.first);
        std::error_code error;
        if (!std::filesystem::exists(path, error)) {
            if (item.first.compare(0, 4, "lib/") != 0) {
                missing.push_back(PathToUtf8(path));
            }
            continue;
        }
        ++found;
        Sha256Digest digest{};
        std::string problem;
        const std::string shown = PathToUtf8(path);
        if (!Sha256OfFile(path, digest)) {
            findings.errors.push_back(shown + ": cannot read it");
        } else if (digest != *item.second && (item.first == GAME_GZ_NAME || IsGameDeltaName(item.first))) {
            findings.errors.push_back(shown + ": differs from its line in the list (players' updaters fetch it, refuse "
                                              "it and fetch the next form of game.exe)");
        } else if (digest != *item.second) {
            // The updater takes a file that differs from its line for a damaged download and refuses it.
            findings.errors.push_back(shown + ": differs from its line in the list (players would get \"The "
                                              "downloaded update was damaged.\" or a failed download)");
        } else if (!(problem = GameFormProblem(item.first, path, list.gameExecutable)).empty() ||
                   (item.first == "updater.exe" && !(problem = UpdaterExecutableProblem(path)).empty())) {
            findings.errors.push_back(shown + ": " + problem);
        } else {
            std::printf("matches the list: %s\n", shown.c_str());
        }
    }
    if (found == 0) {
        findings.warnings.push_back(PathToUtf8(folder) + ": holds none of the files the list names (game.exe, "
                                                         "lib.zip, lib/...)");
        return;
    }
    // A listed file that a mirror lacks costs each player a failed request before the next form, or the release.
    for (const std::string& path : missing) {
        findings.warnings.push_back(path + ": listed, but not in the folder");
    }
}
