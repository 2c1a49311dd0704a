#include "update/signature.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

const unsigned char DER_SEQUENCE = 0x30;
const unsigned char DER_INTEGER = 0x02;
const size_t COORDINATE_BYTES = 32;

// Every SubjectPublicKeyInfo of a named P-256 key with an uncompressed point is these bytes followed by X and Y:
// SEQUENCE { SEQUENCE { OID id-ecPublicKey, OID prime256v1 }, BIT STRING { 0 unused bits, 0x04, X, Y } }. Comparing
// the whole prefix refuses every other key type, curve, parameter form and point form at once.
const unsigned char P256_PUBLIC_KEY_PREFIX[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                                0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                                0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
const char PEM_BEGIN[] = "-----BEGIN PUBLIC KEY-----";
const char PEM_END[] = "-----END PUBLIC KEY-----";

unsigned char Byte(char c)
{
    return static_cast<unsigned char>(c);
}

// Reads a DER length at position, not beyond end. In a signature of at most 72 bytes every length is below 128, and
// DER allows only the shortest form: one byte. A long or indefinite form is refused.
bool ReadLength(const std::string& der, size_t& position, size_t end, size_t& length)
{
    if (position >= end) {
        return false;
    }
    const unsigned char first = Byte(der[position++]);
    if (first >= 0x80) {
        return false;
    }
    length = first;
    return true;
}

// Reads one INTEGER at position, not beyond end, into 32 bytes big-endian. Only a positive value in its shortest
// form: a leading zero byte only where the next byte's top bit would otherwise make it negative.
bool ReadInteger(const std::string& der, size_t& position, size_t end, unsigned char* out)
{
    if (position >= end || Byte(der[position++]) != DER_INTEGER) {
        return false;
    }
    size_t length = 0;
    if (!ReadLength(der, position, end, length) || length == 0 || length > end - position) {
        return false;
    }
    const char* bytes = der.data() + position;
    if ((Byte(bytes[0]) & 0x80) != 0) {
        return false;
    }
    size_t skip = 0;
    if (bytes[0] == 0) {
        // A lone zero is the value zero, which no valid signature holds; a zero before a byte below 0x80 is padding.
        if (length == 1 || (Byte(bytes[1]) & 0x80) == 0) {
            return false;
        }
        skip = 1;
    }
    const size_t significant = length - skip;
    if (significant > COORDINATE_BYTES) {
        return false;
    }
    std::fill(out, out + COORDINATE_BYTES - significant, static_cast<unsigned char>(0));
    std::memcpy(out + COORDINATE_BYTES - significant, bytes + skip, significant);
    position += length;
    return true;
}

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

// Canonical base64 only: whole groups of four, '=' only as the padding of the last group, and the bits the padding
// leaves over all zero, so that one byte string has exactly one text.
bool DecodeBase64(const std::string& text, std::vector<unsigned char>& out)
{
    if (text.empty() || text.size() % 4 != 0) {
        return false;
    }
    size_t padding = 0;
    while (padding < 2 && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    const size_t digits = text.size() - padding;
    uint32_t bits = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int value = Base64Value(text[i]);
        if (value < 0) {
            return false;
        }
        bits = (bits << 6) | static_cast<uint32_t>(value);
        if (i % 4 == 3) {
            out.push_back(static_cast<unsigned char>(bits >> 16));
            out.push_back(static_cast<unsigned char>(bits >> 8));
            out.push_back(static_cast<unsigned char>(bits));
            bits = 0;
        }
    }
    if (padding == 1) {
        if ((bits & 0x3) != 0) {
            return false;
        }
        out.push_back(static_cast<unsigned char>(bits >> 10));
        out.push_back(static_cast<unsigned char>(bits >> 2));
    } else if (padding == 2) {
        if ((bits & 0xF) != 0) {
            return false;
        }
        out.push_back(static_cast<unsigned char>(bits >> 4));
    }
    return true;
}

// The PEM's lines without their line ends; a final line end is optional. False for a lone CR.
bool SplitLines(const std::string& text, std::vector<std::string>& lines)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find('\r') != std::string::npos) {
            return false;
        }
        lines.push_back(line);
        start = end + 1;
    }
    return true;
}

} // namespace

bool ParseDerSignature(const std::string& der, EcdsaP256Signature& signature)
{
    if (der.empty() || der.size() > SIGNATURE_MAX_BYTES || Byte(der[0]) != DER_SEQUENCE) {
        return false;
    }
    size_t position = 1;
    size_t length = 0;
    // The sequence must fill the input exactly: nothing cut off, nothing after it.
    if (!ReadLength(der, position, der.size(), length) || length != der.size() - position) {
        return false;
    }
    EcdsaP256Signature parsed{};
    if (!ReadInteger(der, position, der.size(), parsed.data()) ||
        !ReadInteger(der, position, der.size(), parsed.data() + COORDINATE_BYTES) || position != der.size()) {
        return false;
    }
    signature = parsed;
    return true;
}

bool ParsePublicKeyPem(const std::string& pem, EcdsaP256PublicKey& key)
{
    std::vector<std::string> lines;
    if (pem.size() > PUBLIC_KEY_PEM_MAX_BYTES || !SplitLines(pem, lines) || lines.size() < 3 ||
        lines.front() != PEM_BEGIN || lines.back() != PEM_END) {
        return false;
    }
    std::string body;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        if (lines[i].empty()) {
            return false;
        }
        body += lines[i];
    }
    std::vector<unsigned char> der;
    if (!DecodeBase64(body, der) || der.size() != sizeof(P256_PUBLIC_KEY_PREFIX) + key.size() ||
        !std::equal(std::begin(P256_PUBLIC_KEY_PREFIX), std::end(P256_PUBLIC_KEY_PREFIX), der.begin())) {
        return false;
    }
    std::copy(der.begin() + sizeof(P256_PUBLIC_KEY_PREFIX), der.end(), key.begin());
    return true;
}
