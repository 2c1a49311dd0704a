// Arbitrary bytes as the signature file or the public key the updater reads. The first byte chooses the parser.
// DER has exactly one encoding per value, so an accepted signature must be exactly the encoding of what it gives
// back; an accepted key must be exactly the canonical base64 of its SubjectPublicKeyInfo, whatever its line breaks.
#include "update/signature.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void Finding(const char* what)
{
    std::fprintf(stderr, "signature finding: %s\n", what);
    std::abort();
}

// The shortest positive INTEGER for 32 bytes big-endian, or nothing for zero. Written apart from the parser on
// purpose: only a second encoder can catch a fault in it.
std::string EncodeInteger(const unsigned char* value)
{
    size_t first = 0;
    while (first < 32 && value[first] == 0) {
        ++first;
    }
    if (first == 32) {
        return "";
    }
    std::string content(reinterpret_cast<const char*>(value + first), 32 - first);
    if (value[first] >= 0x80) {
        content.insert(content.begin(), '\0');
    }
    return std::string{'\x02', static_cast<char>(content.size())} + content;
}

std::string EncodeSignature(const EcdsaP256Signature& raw)
{
    const std::string r = EncodeInteger(raw.data());
    const std::string s = EncodeInteger(raw.data() + 32);
    if (r.empty() || s.empty()) {
        return "";
    }
    return std::string{'\x30', static_cast<char>(r.size() + s.size())} + r + s;
}

std::string Base64(const std::string& bytes)
{
    static const char DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size()) {
            group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        if (i + 2 < bytes.size()) {
            group |= static_cast<unsigned char>(bytes[i + 2]);
        }
        out += DIGITS[group >> 18];
        out += DIGITS[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? DIGITS[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? DIGITS[group & 63] : '=';
    }
    return out;
}

const char KEY_PREFIX[] = "\x30\x59\x30\x13\x06\x07\x2a\x86\x48\xce\x3d\x02\x01\x06\x08\x2a\x86\x48\xce\x3d\x03\x01"
                          "\x07\x03\x42\x00\x04";

void CheckSignature(const std::string& der)
{
    EcdsaP256Signature raw{};
    if (ParseDerSignature(der, raw) && EncodeSignature(raw) != der) {
        Finding("accepted a signature that is not the DER encoding of the values it gives");
    }
}

// Every pair of values has its encoding, which must read back to the same values.
void CheckRoundTrip(const std::string& bytes)
{
    EcdsaP256Signature raw{};
    for (size_t i = 0; i < raw.size(); ++i) {
        raw[i] = i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0;
    }
    const std::string der = EncodeSignature(raw);
    EcdsaP256Signature reread{};
    if (!der.empty() && (!ParseDerSignature(der, reread) || reread != raw)) {
        Finding("the DER encoding of two values does not read back to them");
    }
}

void CheckKey(const std::string& pem)
{
    EcdsaP256PublicKey key{};
    if (!ParsePublicKeyPem(pem, key)) {
        return;
    }
    const std::string body = Base64(std::string(KEY_PREFIX, sizeof(KEY_PREFIX) - 1) +
                                    std::string(reinterpret_cast<const char*>(key.data()), key.size()));
    std::string digits;
    for (const char c : pem.substr(0, pem.rfind("-----END"))) {
        if (c != '\r' && c != '\n') {
            digits += c;
        }
    }
    if (digits != "-----BEGIN PUBLIC KEY-----" + body) {
        Finding("accepted a key that is not the canonical PEM of the point it gives");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
    case 0:
        CheckSignature(bytes);
        break;
    case 1:
        CheckKey(bytes);
        break;
    default:
        CheckRoundTrip(bytes);
        break;
    }
    return 0;
}
