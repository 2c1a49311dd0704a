#pragma once

#include <array>
#include <cstddef>
#include <string>

// The studio's signature over the checksum list: ECDSA over P-256 with SHA-256, published as the DER form openssl
// writes. The parsers are portable C++ with no Windows header, so that the updater, the studio's package tool and
// the fuzzer judge a signature and a key by the very same rules.

// r || s, each 32 bytes big-endian, left-padded with zeros: the form BCrypt verifies.
using EcdsaP256Signature = std::array<unsigned char, 64>;

// X || Y of an uncompressed P-256 point, each 32 bytes big-endian: the body of a BCrypt public key blob.
using EcdsaP256PublicKey = std::array<unsigned char, 64>;

// A DER signature is at most 72 bytes; a longer file is refused unread.
const size_t SIGNATURE_MAX_BYTES = 72;

// A public key PEM of a P-256 key is about 180 bytes; a longer file is refused unread.
const size_t PUBLIC_KEY_PEM_MAX_BYTES = 4096;

// Reads a DER ECDSA-Sig-Value (SEQUENCE of INTEGER r, INTEGER s) as r || s. False unless the bytes are exactly one
// such sequence in DER: minimal definite lengths, nothing after it or inside it besides the two integers, each
// positive, minimally encoded and of at most 32 significant bytes. Never throws.
bool ParseDerSignature(const std::string& der, EcdsaP256Signature& signature);

// Reads a "-----BEGIN PUBLIC KEY-----" PEM (SubjectPublicKeyInfo, id-ecPublicKey on prime256v1, uncompressed point)
// as X || Y. False for anything else: another key type or curve, explicit curve parameters, a compressed point,
// text around the block, base64 that is not canonical. Lines may end in LF or CR LF. Throws std::bad_alloc.
bool ParsePublicKeyPem(const std::string& pem, EcdsaP256PublicKey& key);

#ifdef _WIN32
// True when signature verifies over the SHA-256 of message under key, through Windows' own ECDSA (BCrypt). False
// for a bad signature and for any failure of the provider. Throws std::bad_alloc.
bool VerifyEcdsaP256Sha256(const std::string& message, const EcdsaP256Signature& signature,
                           const EcdsaP256PublicKey& key);

// True when derSignature (the bytes of "SHA256SUMS.sig") is a strict DER signature of listBytes (the bytes of
// "SHA256SUMS") by any of the release keys built into this executable. Throws std::bad_alloc.
bool VerifyChecksumListSignature(const std::string& listBytes, const std::string& derSignature);

// True when at least one release key is built into this executable, whether or not it is a usable key: a build
// configured with keys never takes an unsigned list. Never throws.
bool ReleaseKeysBuiltIn();
#endif
