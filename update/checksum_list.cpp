#include "update/checksum_list.h"

#include "archive/archive.h"

#include <algorithm>
#include <set>
#include <utility>

namespace {

const size_t DIGEST_HEX_DIGITS = 64;
const char GAME_EXECUTABLE_NAME[] = "game.exe";
const char LIBRARY_PACKAGE_NAME[] = "lib.zip";
const char LIBRARY_PREFIX[] = "lib/";
const size_t LIBRARY_PREFIX_LENGTH = 4;

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool ParseDigest(const std::string& line, Sha256Digest& digest)
{
    for (size_t i = 0; i < digest.size(); ++i) {
        const int high = HexValue(line[2 * i]);
        const int low = HexValue(line[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        digest[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return true;
}

void AppendUtf16(char32_t codePoint, std::wstring& out)
{
    if (codePoint < 0x10000) {
        out.push_back(static_cast<wchar_t>(codePoint));
        return;
    }
    codePoint -= 0x10000;
    out.push_back(static_cast<wchar_t>(0xD800 + (codePoint >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF)));
}

// Strict UTF-8 to UTF-16: no overlong forms, no surrogates, nothing above U+10FFFF, so that one path has exactly
// one spelling in the list. Control characters are refused too: no file the package writes has one in its name.
bool DecodePath(const std::string& bytes, std::wstring& out)
{
    size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            if (lead < 0x20 || lead == 0x7F) {
                return false;
            }
            out.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        }
        size_t length = 0;
        char32_t codePoint = 0;
        char32_t smallest = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            codePoint = lead & 0x1F;
            smallest = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            codePoint = lead & 0x0F;
            smallest = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            codePoint = lead & 0x07;
            smallest = 0x10000;
        } else {
            return false;
        }
        if (bytes.size() - i < length) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (codePoint < smallest || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        AppendUtf16(codePoint, out);
        i += length;
    }
    return true;
}

// The one place the list's paths meet the rule that guards extraction: a path the package could not write is
// refused here too, so no line can lead outside "lib".
bool IsSafeLibraryPath(const std::wstring& backslashPath)
{
    return IsSafeEntryName(backslashPath);
}

// A path below "lib" in the one spelling the walk of "lib" can produce: '/' between non-empty components, none of
// them ".", no '\' of its own. The result uses '\', as the files on disk are named.
bool ParseLibraryPath(const std::string& bytes, std::wstring& relativePath)
{
    if (bytes.find('\\') != std::string::npos || !DecodePath(bytes, relativePath)) {
        return false;
    }
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(relativePath.find(L'/', start), relativePath.size());
        if (end == start || relativePath.compare(start, end - start, L".") == 0) {
            return false;
        }
        if (end == relativePath.size()) {
            break;
        }
        relativePath[end] = L'\\';
        start = end + 1;
    }
    return IsSafeLibraryPath(relativePath);
}

// Windows names files without regard to case. Non-ASCII letters are left as they are here; two paths that differ
// only in those still name one file on disk, and the library check then finds fewer files than lines.
std::wstring FoldAsciiCase(std::wstring path)
{
    for (wchar_t& c : path) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return path;
}

} // namespace

bool ParseChecksumList(const std::string& text, ChecksumList& list)
{
    if (text.empty() || text.size() > CHECKSUM_LIST_MAX_BYTES) {
        return false;
    }
    ChecksumList parsed{};
    bool haveGame = false;
    bool havePackage = false;
    std::set<std::wstring> seen;
    size_t start = 0;
    // A final newline ends the last line; it does not start an empty one.
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        // A list saved on Windows ends its lines in CR LF; a CR can never belong to a path here.
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        // Digest, a space, then ' ' (text mode) or '*' (binary mode), then a non-empty path.
        if (line.size() <= DIGEST_HEX_DIGITS + 2 || line[DIGEST_HEX_DIGITS] != ' ' ||
            (line[DIGEST_HEX_DIGITS + 1] != ' ' && line[DIGEST_HEX_DIGITS + 1] != '*')) {
            return false;
        }
        Sha256Digest digest{};
        if (!ParseDigest(line, digest)) {
            return false;
        }
        const std::string path = line.substr(DIGEST_HEX_DIGITS + 2);
        if (path == GAME_EXECUTABLE_NAME) {
            if (haveGame) {
                return false;
            }
            haveGame = true;
            parsed.gameExecutable = digest;
        } else if (path == LIBRARY_PACKAGE_NAME) {
            if (havePackage) {
                return false;
            }
            havePackage = true;
            parsed.libraryPackage = digest;
        } else if (path.compare(0, LIBRARY_PREFIX_LENGTH, LIBRARY_PREFIX) == 0) {
            LibraryFileChecksum file{};
            if (!ParseLibraryPath(path.substr(LIBRARY_PREFIX_LENGTH), file.relativePath) ||
                !seen.insert(FoldAsciiCase(file.relativePath)).second) {
                return false;
            }
            file.digest = digest;
            parsed.libraryFiles.push_back(std::move(file));
        } else {
            return false;
        }
    }
    if (!haveGame || !havePackage) {
        return false;
    }
    list = std::move(parsed);
    return true;
}
