#include "archive/archive.h"

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

bool IsMarkFileName(const std::wstring& name)
{
    const std::wstring folded = FoldCase(name);
    return folded == FoldCase(LIBRARY_COMPLETE_MARK_NAME) || folded == FoldCase(LIBRARY_INCOMPLETE_MARK_NAME);
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
