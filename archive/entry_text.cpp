#include "archive/archive.h"

namespace {

const wchar_t REPLACEMENT = 0xFFFD;

// Code page 437 from 0x80 up; below that it is ASCII, control characters included.
const uint16_t CODE_PAGE_437_HIGH[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

void AppendCodePoint(std::wstring& out, uint32_t codePoint)
{
    if (codePoint < 0x10000) {
        out.push_back(static_cast<wchar_t>(codePoint));
        return;
    }
    codePoint -= 0x10000;
    out.push_back(static_cast<wchar_t>(0xD800 + (codePoint >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF)));
}

// How many continuation bytes follow a lead byte, and the range its first one must lie in so that the sequence is
// neither overlong nor a surrogate nor beyond U+10FFFF. False for a byte that cannot start a sequence.
bool LeadByte(unsigned char lead, int& continuations, unsigned char& low, unsigned char& high)
{
    low = 0x80;
    high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuations = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuations = 2;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuations = 3;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return false;
    }
    return true;
}

} // namespace

std::wstring DecodeUtf8(const char* bytes, size_t length)
{
    const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes);
    std::wstring out;
    out.reserve(length);
    size_t at = 0;
    while (at < length) {
        const unsigned char lead = in[at++];
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
            continue;
        }
        int continuations = 0;
        unsigned char low = 0;
        unsigned char high = 0;
        if (!LeadByte(lead, continuations, low, high)) {
            out.push_back(REPLACEMENT);
            continue;
        }
        uint32_t codePoint = lead & (0x3F >> continuations);
        bool complete = true;
        for (int i = 0; i < continuations; ++i) {
            if (at >= length || in[at] < low || in[at] > high) {
                complete = false;
                break;
            }
            codePoint = (codePoint << 6) | (in[at++] & 0x3F);
            low = 0x80;
            high = 0xBF;
        }
        // A cut-short sequence is replaced once as a whole; the byte that broke it starts afresh.
        AppendCodePoint(out, complete ? codePoint : REPLACEMENT);
    }
    return out;
}

std::wstring DecodeCodePage437(const char* bytes, size_t length)
{
    std::wstring out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(bytes[i]);
        out.push_back(static_cast<wchar_t>(byte < 0x80 ? byte : CODE_PAGE_437_HIGH[byte - 0x80]));
    }
    return out;
}

std::wstring DecodeEntryName(const char* stored, size_t length, uint16_t bitFlag)
{
    // Both readings turn every byte sequence into some text, so there is no failure to fall back from.
    return (bitFlag & UTF8_NAME_FLAG) != 0 ? DecodeUtf8(stored, length) : DecodeCodePage437(stored, length);
}

std::string WideToUtf8(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t unit = static_cast<uint32_t>(text[i]) & 0xFFFF;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() &&
            (static_cast<uint32_t>(text[i + 1]) & 0xFC00) == 0xDC00) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + ((static_cast<uint32_t>(text[++i]) & 0x3FF));
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            unit = REPLACEMENT;
        }
        if (unit < 0x80) {
            out.push_back(static_cast<char>(unit));
        } else if (unit < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
            out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        } else if (unit < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
            out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (unit >> 18)));
            out.push_back(static_cast<char>(0x80 | ((unit >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        }
    }
    return out;
}
