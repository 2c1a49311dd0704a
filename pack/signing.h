#pragma once

#include "pack/pack.h"
#include "update/checksum_list.h"
#include "update/signature.h"

#include <cstdint>
#include <filesystem>
#include <string>

// The studio's signature over the checksum list: "SHA256SUMS.sig" beside "SHA256SUMS", ECDSA P-256 over SHA-256 in
// the DER form openssl writes. Each function returns false with a one-line reason in message. Throws std::bad_alloc.

// The signature file that belongs to a list: the list's path with ".sig" appended.
std::filesystem::path SignaturePathOf(const std::filesystem::path& list);

// The fingerprint the tool shows for a key: SHA-256 of its public point in the uncompressed form (0x04, X, Y), as
// "SHA256:" and 64 hex digits; the same for a private key and its public key.
std::string KeyFingerprint(const EcdsaP256PublicKey& key);

// Checks the list, its signature and the public key exactly as the updater does: the list parses, the signature is
// strict DER, the key is a P-256 public key PEM, and the signature verifies. parsed receives the list and fingerprint
// the key's.
bool VerifyChecksumListFiles(const std::filesystem::path& list, const std::filesystem::path& publicKey,
                             ChecksumList& parsed, std::string& fingerprint, std::string& message);

// Compares every file the list names that stands in folder ("game.exe", its forms, "lib.zip", "lib/<path>") with its
// line, printing one line per file; adds an error for each that differs and for a form of game.exe that would not
// give players the listed game, a warning for each listed file outside lib/ that is missing, and a warning when none
// stands there.
void CheckListedFiles(const ChecksumList& list, const std::filesystem::path& folder, Findings& findings);

#ifndef _WIN32
// Makes a new P-256 key pair: the private key (PKCS#8 PEM, mode 0600) and its public key (PEM). Refuses to replace
// an existing file; on failure neither file is left behind. fingerprint receives the key's.
bool MakeKeyPair(const std::filesystem::path& privateKey, const std::filesystem::path& publicKey,
                 std::string& fingerprint, std::string& message);

// What signing did.
struct SignedList {
    uint64_t release = 0;    // the list's release; 0 without a release line
    std::string fingerprint; // of the key that signed
    bool replaced = false;   // a signature stood beside the list before
};

// Signs the bytes of a list the updater accepts, whose release line (if any) is well formed and first and whose
// release is not too far ahead of the studio's clock, with a P-256 private key PEM (encrypted ones opened with
// passphrase, or with one typed at the terminal when passphrase is null) and writes the signature beside it, under a
// temporary name that is then renamed.
bool SignChecksumList(const std::filesystem::path& list, const std::filesystem::path& privateKey,
                      const std::string* passphrase, SignedList& result, std::string& message);

// The ECDSA check itself through libcrypto; the Windows build uses BCrypt, as the updater does.
bool VerifyWithLibcrypto(const std::string& message, const std::string& derSignature, const EcdsaP256PublicKey& key);
#endif
