#include "update/signature.h"

#include "update/release_keys.h"

#include "test_keys.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string FromHex(const std::string& hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

std::string Repeat(const std::string& hex, size_t times)
{
    std::string out;
    for (size_t i = 0; i < times; ++i) {
        out += hex;
    }
    return out;
}

const std::string R = Repeat("11", 32);
const std::string S = Repeat("22", 32);
const std::string HIGH = Repeat("80", 32);
const std::string GOOD = "30440220" + R + "0220" + S;

struct DerCase {
    const char* name;
    std::string der;
    std::string raw; // r || s in hex; empty: refused
};

const DerCase DER_CASES[] = {
    {"Good", GOOD, R + S},
    {"ZeroBeforeATopBit", "3045022100" + HIGH + "0220" + S, HIGH + S},
    {"ShortIntegersLeftPadded", "300602010102017f", Repeat("00", 31) + "01" + Repeat("00", 31) + "7f"},
    {"LongFormLength", "308144" + GOOD.substr(4), ""},
    {"IndefiniteLength", "3080" + GOOD.substr(4) + "0000", ""},
    {"TrailingByte", GOOD + "00", ""},
    {"ExtraInsideTheSequence", "30460220" + R + "0220" + S + "0500", ""},
    {"NonMinimalInteger", "3045022100" + R + "0220" + S, ""},
    {"NonMinimalIntegerLength", "3045028120" + R + "0220" + S, ""},
    {"Negative", "30440220" + HIGH + "0220" + S, ""},
    {"Zero", "3025020100" + ("0220" + S), ""},
    {"ThirtyThreeSignificantBytes", "3045022101" + R + "0220" + S, ""},
    {"Truncated", GOOD.substr(0, GOOD.size() - 2), ""},
    {"OneInteger", "30220220" + R, ""},
    {"NotASequence", "31440220" + R + "0220" + S, ""},
    {"Empty", "", ""},
};

class ParseDerSignatureTest : public ::testing::TestWithParam<DerCase> {};

TEST_P(ParseDerSignatureTest, AcceptsOnlyStrictDer)
{
    EcdsaP256Signature raw{};
    const bool accepted = ParseDerSignature(FromHex(GetParam().der), raw);
    EXPECT_EQ(accepted, !GetParam().raw.empty());
    if (accepted) {
        EXPECT_EQ(std::string(raw.begin(), raw.end()), FromHex(GetParam().raw));
    }
}

INSTANTIATE_TEST_SUITE_P(Signatures, ParseDerSignatureTest, ::testing::ValuesIn(DER_CASES),
                         [](const ::testing::TestParamInfo<DerCase>& p) { return std::string(p.param.name); });

// The first built-in test key, rewritten; public keys of other forms made once with openssl.
std::string Edited(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string WithLastDigitChanged(std::string pem)
{
    const size_t padding = pem.find("==");
    if (padding != std::string::npos) {
        ++pem[padding - 1]; // 'A', 'Q', 'g' or 'w' then leaves a bit set that the padding drops
    }
    return pem;
}

const std::string KEY = RELEASE_KEY_PEMS[0];

struct KeyCase {
    const char* name;
    std::string pem;
    bool accepted;
};

const KeyCase KEY_CASES[] = {
    {"AsOpensslWritesIt", KEY, true},
    {"CrLfLines", Edited(KEY, "\n", "\r\n"), true},
    {"NoFinalNewline", KEY.substr(0, KEY.size() - 1), true},
    {"TextBefore", "read EC key\n" + KEY, false},
    {"BlankLineAfter", KEY + "\n", false},
    {"SpaceInBase64", Edited(KEY, "MFkw", "MF kw"), false},
    {"NonCanonicalPadding", WithLastDigitChanged(KEY), false},
    {"PrivateKeyLabel", Edited(KEY, "PUBLIC", "PRIVATE"), false},
    {"Secp256k1",
     "-----BEGIN PUBLIC KEY-----\nMFYwEAYHKoZIzj0CAQYFK4EEAAoDQgAE5SJWMhhdvHHW3ROLcHdnUN5HIKZyqE4B\n"
     "dEMV+w/67QXA0PAeHWajphvGtwgTJm7nSqHrO7qNaAGxxKuwWW2rCA==\n-----END PUBLIC KEY-----\n",
     false},
    {"CompressedPoint",
     "-----BEGIN PUBLIC KEY-----\nMDkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDIgACQ/fHhCVZg9eXUN4aGaDWIZbu7IRF\n"
     "HqHHYC2bC8Iskm4=\n-----END PUBLIC KEY-----\n",
     false},
};

class ParsePublicKeyPemTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(ParsePublicKeyPemTest, AcceptsOnlyANamedP256KeyWithAnUncompressedPoint)
{
    EcdsaP256PublicKey key{};
    EXPECT_EQ(ParsePublicKeyPem(GetParam().pem, key), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(Keys, ParsePublicKeyPemTest, ::testing::ValuesIn(KEY_CASES),
                         [](const ::testing::TestParamInfo<KeyCase>& p) { return std::string(p.param.name); });

// Signatures openssl made over the test list with the two keys built into this test and with a third key.
struct VerifyCase {
    const char* name;
    std::string list;
    std::string der;
    bool accepted;
};

const std::string LIST = FromHex(TEST_LIST_HEX);
const std::string BY_FIRST = FromHex(TEST_SIGNATURE_HEX_RELEASE_1);

std::string WithLastByteFlipped(std::string bytes)
{
    bytes.back() = static_cast<char>(bytes.back() ^ 0x01);
    return bytes;
}

const VerifyCase VERIFY_CASES[] = {
    {"ByTheFirstKey", LIST, BY_FIRST, true},
    {"ByTheSecondKey", LIST, FromHex(TEST_SIGNATURE_HEX_RELEASE_2), true},
    {"ByAKeyNotBuiltIn", LIST, FromHex(TEST_SIGNATURE_HEX_OTHER), false},
    {"ListChangedAfterSigning", WithLastByteFlipped(LIST), BY_FIRST, false},
    {"OneBitOfTheSignatureFlipped", LIST, WithLastByteFlipped(BY_FIRST), false},
    {"ByteAfterAGoodSignature", LIST, BY_FIRST + '\0', false},
    {"NoSignature", LIST, "", false},
};

class VerifyChecksumListSignatureTest : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(VerifyChecksumListSignatureTest, AcceptsOnlyASignatureByABuiltInKey)
{
    ASSERT_TRUE(ReleaseKeysBuiltIn());
    EXPECT_EQ(VerifyChecksumListSignature(GetParam().list, GetParam().der), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(Signatures, VerifyChecksumListSignatureTest, ::testing::ValuesIn(VERIFY_CASES),
                         [](const ::testing::TestParamInfo<VerifyCase>& p) { return std::string(p.param.name); });

} // namespace
