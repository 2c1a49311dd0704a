// Arbitrary entry names against the entry-name rule. The rule's verdict must match a model written here from the
// rule's wording, must not change when '/' becomes '\' (extraction judges the normalised name), and a name it
// accepts must never climb above the target directory when its components are resolved. The input's bytes read as
// UTF-8 must decode to well-formed UTF-16 that survives a round trip through UTF-8 unchanged.
//
// Input: the first byte chooses the decoding of the rest. Even: UTF-16LE code units (an odd last byte is dropped),
// as names arrive after conversion. Odd: one character per byte, which lets the fuzzer reach '.', '/', '\' and ':'
// quickly.
#include "archive/archive.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Finding(const char* what, const std::wstring& name)
{
    std::fprintf(stderr, "entry name finding: %s; name as code points:", what);
    for (const wchar_t c : name) {
        std::fprintf(stderr, " %04x", static_cast<unsigned>(c));
    }
    std::fputc('\n', stderr);
    std::abort();
}

std::wstring Decode(const uint8_t* data, size_t size)
{
    std::wstring name;
    if ((data[0] & 1) != 0) {
        for (size_t i = 1; i < size; ++i) {
            name.push_back(static_cast<wchar_t>(data[i]));
        }
        return name;
    }
    for (size_t i = 1; i + 1 < size; i += 2) {
        name.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    }
    return name;
}

// The components between separators ('\' or '/') and the two ends of the name, empty ones included.
std::vector<std::wstring> Components(const std::wstring& name)
{
    std::vector<std::wstring> parts(1);
    for (const wchar_t c : name) {
        if (c == L'\\' || c == L'/') {
            parts.emplace_back();
        } else {
            parts.back().push_back(c);
        }
    }
    return parts;
}

bool ModelAccepts(const std::wstring& name)
{
    if (name.empty() || name[0] == L'\\' || name[0] == L'/' || name.find(L':') != std::wstring::npos ||
        name.find(L'\0') != std::wstring::npos) {
        return false;
    }
    for (const std::wstring& part : Components(name)) {
        if (part == L"..") {
            return false;
        }
    }
    return true;
}

// Resolves the normalised name below a root the way a path walk does: "." and empty components stay put, ".."
// goes up one level. False when a ".." would leave the root.
bool StaysBelowRoot(const std::wstring& normalised)
{
    size_t depth = 0;
    for (const std::wstring& part : Components(normalised)) {
        if (part == L"..") {
            if (depth == 0) {
                return false;
            }
            --depth;
        } else if (!part.empty() && part != L".") {
            ++depth;
        }
    }
    return true;
}

// No unpaired surrogate: every high surrogate is followed by a low one and every low one follows a high one.
bool WellFormedUtf16(const std::wstring& text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned unit = static_cast<unsigned>(text[i]);
        if (unit > 0xFFFF) {
            return false;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 == text.size() || (static_cast<unsigned>(text[i + 1]) & 0xFC00) != 0xDC00) {
                return false;
            }
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

void CheckUtf8Decoding(const uint8_t* data, size_t size)
{
    const std::wstring decoded = DecodeUtf8(reinterpret_cast<const char*>(data), size);
    if (!WellFormedUtf16(decoded)) {
        Finding("UTF-8 decoding produced ill-formed UTF-16", decoded);
    }
    const std::string encoded = WideToUtf8(decoded);
    if (DecodeUtf8(encoded.data(), encoded.size()) != decoded) {
        Finding("decoded text changed on a round trip through UTF-8", decoded);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    CheckUtf8Decoding(data, size);
    const std::wstring name = Decode(data, size);
    const bool accepted = IsSafeEntryName(name);
    if (accepted != ModelAccepts(name)) {
        Finding(accepted ? "accepted a name the rule refuses" : "refused a name the rule accepts", name);
    }
    std::wstring normalised = name;
    for (wchar_t& c : normalised) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    if (IsSafeEntryName(normalised) != accepted) {
        Finding("the verdict changed when '/' became '\\'", name);
    }
    if (accepted && !StaysBelowRoot(normalised)) {
        Finding("an accepted name climbs above the target", name);
    }
    return 0;
}
