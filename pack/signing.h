#pragma once

#include "update/signature.h"

#include <cstdint>
#include <filesystem>
#include <string>

// The studio's signature over the checksum list: "SHA256SUMS.sig" beside "SHA256SUMS", ECDSA P-256 over SHA-256 in
// the DER form openssl writes. Each function returns false with a one-line reason in message. Throws std::bad_alloc.

// The signature file that belongs to a list: the list's path with ".sig" appended.
std::filesystem::path SignaturePathOf(const std::filesystem::path& list);

// Checks the list, its signature and the public key exactly as the updater does: the list parses, the signature is
// strict DER, the key is a P-256 public key PEM, and the signature verifies. release receives the list's release.
bool VerifyChecksumListFiles(const std::filesystem::path& list, const std::filesystem::path& publicKey,
                             uint64_t& release, std::string& message);

#ifndef _WIN32
// Makes a new P-256 key pair: the private key (PKCS#8 PEM, mode 0600) and its public key (PEM). Refuses to replace
// an existing file; on failure neither file is left behind.
bool MakeKeyPair(const std::filesystem::path& privateKey, const std::filesystem::path& publicKey, std::string& message);

// Signs the bytes of a list the updater accepts, and whose release line (if any) is well formed and first, with a P-256
// private key PEM and writes the signature beside it, under a temporary name that is then renamed.
bool SignChecksumList(const std::filesystem::path& list, const std::filesystem::path& privateKey, std::string& message);

// The ECDSA check itself through libcrypto; the Windows build uses BCrypt, as the updater does.
bool VerifyWithLibcrypto(const std::string& message, const std::string& derSignature, const EcdsaP256PublicKey& key);
#endif
