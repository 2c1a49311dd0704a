#include "archive/archive.h"

namespace {

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

} // namespace

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
