#include "archive/archive.h"

#include <algorithm>

namespace {

// Longest component NTFS and the other Windows file systems store, in UTF-16 code units.
const size_t MAX_COMPONENT_UNITS = 255;
const uint32_t ERROR_INVALID_NAME_CODE = 123;
const uint32_t ERROR_FILENAME_EXCED_RANGE_CODE = 206;

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

} // namespace

bool IsPlausibleGameSize(uint64_t bytes)
{
    return bytes > IMPLAUSIBLE_GAME_MAX_BYTES;
}

bool IsSafeEntryName(const std::wstring& entryName)
{
    // A ':' would name a drive ("C:x") or an alternate data stream; a leading separator the root of the drive.
    // Windows ends a name at a NUL, so "..<NUL>" would be ".." to it.
    if (entryName.empty() || entryName.find(L':') != std::wstring::npos ||
        entryName.find(L'\0') != std::wstring::npos || IsSeparator(entryName[0])) {
        return false;
    }
    size_t start = 0;
    for (;;) {
        size_t end = start;
        while (end < entryName.size() && !IsSeparator(entryName[end])) {
            ++end;
        }
        if (entryName.compare(start, end - start, L"..") == 0) {
            return false;
        }
        if (end == entryName.size()) {
            return true;
        }
        start = end + 1;
    }
}

bool IsControlCharacter(wchar_t c)
{
    return c >= 0x01 && c <= 0x1F;
}

const char* RefusedComponent(const std::wstring& component, uint32_t& error)
{
    // Below "\\?\" nothing is normalised away: an empty component reaches the file system and fails there.
    error = ERROR_INVALID_NAME_CODE;
    if (component.empty()) {
        return "an empty folder name (two separators in a row)";
    }
    for (const wchar_t c : component) {
        if (IsControlCharacter(c)) {
            return "a control character";
        }
        if (c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*') {
            return "one of the characters < > \" | ? *";
        }
    }
    if (component.size() > MAX_COMPONENT_UNITS) {
        error = ERROR_FILENAME_EXCED_RANGE_CODE;
        return "a component longer than 255 characters";
    }
    return nullptr;
}

bool LibraryPathOf(const std::wstring& entryName, std::wstring& path)
{
    if (!IsSafeEntryName(entryName)) {
        return false;
    }
    // The trailing separator of a folder entry marks it; it is no empty component.
    const size_t length = IsSeparator(entryName.back()) ? entryName.size() - 1 : entryName.size();
    path.clear();
    bool first = true;
    size_t start = 0;
    while (start <= length) {
        size_t end = start;
        while (end < length && !IsSeparator(entryName[end])) {
            ++end;
        }
        // "." names the folder it stands in: the studio meant the name without it (bsdtar run on "." stores "./").
        if (entryName.compare(start, end - start, L".") != 0) {
            if (!first) {
                path.push_back(L'\\');
            }
            path.append(entryName, start, end - start);
            first = false;
        }
        start = end + 1;
    }
    return true;
}

wchar_t FoldCase(wchar_t c)
{
    if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F)) {
        return static_cast<wchar_t>(c - 0x20);
    }
    if (c >= 0x450 && c <= 0x45F) {
        return static_cast<wchar_t>(c - 0x50);
    }
    if (c >= 0x100 && c <= 0x17F && (c & 1) != 0 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
        return static_cast<wchar_t>(c - 1);
    }
    return c;
}

std::wstring FoldCase(const std::wstring& text)
{
    std::wstring folded = text;
    std::transform(folded.begin(), folded.end(), folded.begin(), [](wchar_t c) { return FoldCase(c); });
    return folded;
}
