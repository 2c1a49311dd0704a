#include "fs/fs.h"

// No Windows call here: the package tool, built natively too, refuses package files that the sweep would take for
// its own leftovers.

namespace {

const wchar_t ASIDE_MARK[] = L".old-";
const size_t ASIDE_MARK_LENGTH = 5;
const size_t ASIDE_DIGITS = 10;

bool IsLowerHexDigit(wchar_t c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
}

} // namespace

bool IsAsideName(const std::wstring& fileName)
{
    if (fileName.size() < ASIDE_MARK_LENGTH + ASIDE_DIGITS) {
        return false;
    }
    const size_t markAt = fileName.size() - ASIDE_DIGITS - ASIDE_MARK_LENGTH;
    if (fileName.compare(markAt, ASIDE_MARK_LENGTH, ASIDE_MARK) != 0) {
        return false;
    }
    for (size_t i = markAt + ASIDE_MARK_LENGTH; i < fileName.size(); ++i) {
        if (!IsLowerHexDigit(fileName[i])) {
            return false;
        }
    }
    return true;
}
