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
const char RELEASE_LINE_PREFIX[] = "# release ";
const size_t RELEASE_LINE_PREFIX_LENGTH = 10;

// The next line from start, without its end: a final newline ends the last line, it does not start an empty one.
// A list saved on Windows ends its lines in CR LF; a CR can never belong to a path or a number here.
bool NextLine(const std::string& text, size_t& start, std::string& line)
{
    if (start >= text.size()) {
        return false;
    }
    const size_t end = std::min(text.find('\n', start), text.size());
    line.assign(text, start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return true;
}

// '#', any blanks, then the word "release" in any case: what a studio writes when it means to state a release.
bool LooksLikeReleaseLine(const std::string& line)
{
    if (line.empty() || line[0] != '#') {
        return false;
    }
    const size_t word = line.find_first_not_of(" \t", 1);
    if (word == std::string::npos || line.size() - word < 7) {
        return false;
    }
    std::string name = line.substr(word, 7);
    std::transform(name.begin(), name.end(), name.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return name == "release" && (line.size() == word + 7 || line[word + 7] == ' ' || line[word + 7] == '\t');
}

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

// Strict UTF-8: a path that does not read back to the very same bytes (overlong forms, surrogates, anything beyond
// U+10FFFF, a stray byte) has more than one spelling and is refused, so that one file has exactly one line. Control
// characters are refused too: Windows creates no file with one in its name.
bool DecodePath(const std::string& bytes, std::wstring& out)
{
    out = DecodeUtf8(bytes.data(), bytes.size());
    return WideToUtf8(out) == bytes &&
           std::none_of(out.begin(), out.end(), [](wchar_t c) { return IsControlCharacter(c); });
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
    // The rule that guards extraction: a path the package could not write is refused here too, so no line can lead
    // outside "lib".
    return IsSafeEntryName(relativePath);
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
    std::set<std::wstring> seenOther;
    size_t start = 0;
    std::string line;
    for (bool first = true; NextLine(text, start, line); first = false) {
        if (!line.empty() && line[0] == '#') {
            // A malformed first line is only a comment: the list then counts as the oldest release, which can only
            // turn an updater away, never let an older list in.
            if (first) {
                ParseReleaseLine(line, parsed.release);
            }
            continue;
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
                !seen.insert(FoldCase(file.relativePath)).second) {
                return false;
            }
            file.digest = digest;
            parsed.libraryFiles.push_back(std::move(file));
        } else {
            // A file this updater may not use: kept by name, held to the same safety rule as a library path and named
            // once, since a signature vouches for it too.
            std::wstring name;
            if (!ParseLibraryPath(path, name) || !seenOther.insert(FoldCase(name)).second) {
                return false;
            }
            parsed.otherFiles.push_back({path, digest});
        }
    }
    // A list without library lines would let an emptied "lib" count as the listed release on every run.
    if (!haveGame || !havePackage || parsed.libraryFiles.empty()) {
        return false;
    }
    list = std::move(parsed);
    return true;
}

const Sha256Digest* FindListedFile(const ChecksumList& list, const std::string& name)
{
    for (const ListedFile& file : list.otherFiles) {
        if (file.name == name) {
            return &file.digest;
        }
    }
    return nullptr;
}

bool ParseReleaseNumber(const std::string& digits, uint64_t& release)
{
    if (digits.empty() || digits.size() > RELEASE_MAX_DIGITS || digits[0] == '0') {
        return false;
    }
    uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    release = value;
    return true;
}

bool ParseReleaseLine(const std::string& line, uint64_t& release)
{
    return line.compare(0, RELEASE_LINE_PREFIX_LENGTH, RELEASE_LINE_PREFIX) == 0 &&
           ParseReleaseNumber(line.substr(RELEASE_LINE_PREFIX_LENGTH), release);
}

bool HasMalformedReleaseLine(const std::string& text)
{
    size_t start = 0;
    std::string line;
    for (bool first = true; NextLine(text, start, line); first = false) {
        uint64_t release = 0;
        if (LooksLikeReleaseLine(line) && !(first && ParseReleaseLine(line, release))) {
            return true;
        }
    }
    return false;
}

uint64_t ReleaseOfUtcTime(int64_t secondsSinceEpoch)
{
    if (secondsSinceEpoch < 0) {
        return 0;
    }
    const int64_t secondsPerDay = 24 * 60 * 60;
    const int64_t second = secondsSinceEpoch % secondsPerDay;
    // The proleptic Gregorian date of a day count, in eras of 400 years (146097 days) that start on 1 March, so that
    // the leap day ends a year; no time-zone table or C library clock function is involved.
    const int64_t days = secondsSinceEpoch / secondsPerDay + 719468;
    const int64_t era = days / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    const int64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    const int64_t date = year * 10000 + month * 100 + day;
    const int64_t time = second / 3600 * 10000 + second % 3600 / 60 * 100 + second % 60;
    return static_cast<uint64_t>(date) * 1000000 + static_cast<uint64_t>(time);
}

bool IsReleaseTooFarAhead(uint64_t release, int64_t nowSecondsSinceEpoch)
{
    return release > ReleaseOfUtcTime(nowSecondsSinceEpoch + RELEASE_AHEAD_MAX_SECONDS);
}

std::string ReleaseLine(uint64_t release)
{
    return RELEASE_LINE_PREFIX + std::to_string(release) + "\n";
}

std::string FormatDigestHex(const Sha256Digest& digest)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : digest) {
        text += DIGITS[byte >> 4];
        text += DIGITS[byte & 15];
    }
    return text;
}
