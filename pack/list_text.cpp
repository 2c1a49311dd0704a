// Why the updater refuses a checksum list, in the release engineer's terms. The updater's own parser gives the
// verdict; this walk only names the line and the reason, following the same rules in the same order.
#include "pack/pack.h"

#include "archive/archive.h"
#include "update/checksum_list.h"

#include <set>

namespace {

const size_t DIGEST_HEX_DIGITS = 64;

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Why a path below "lib/" (or of another listed file) is refused; empty when the updater takes it.
std::string LibraryPathProblem(const std::string& bytes)
{
    if (bytes.find('\\') != std::string::npos) {
        return "a backslash (the list separates folders with '/')";
    }
    const std::wstring path = DecodeUtf8(bytes.data(), bytes.size());
    if (WideToUtf8(path) != bytes) {
        return "the path is not valid UTF-8";
    }
    for (const wchar_t c : path) {
        if (IsControlCharacter(c)) {
            return "a control character in the path";
        }
    }
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(path.find(L'/', start), path.size());
        if (end == start) {
            return "an empty folder name (a leading, doubled or trailing '/')";
        }
        if (path.compare(start, end - start, L".") == 0) {
            return "a \".\" folder name";
        }
        if (end == path.size()) {
            break;
        }
        start = end + 1;
    }
    if (!IsSafeEntryName(path)) {
        return "a path that leaves lib (\"..\", ':' or a NUL)";
    }
    return std::string();
}

std::string Shown(const std::string& path)
{
    return Printable(DecodeUtf8(path.data(), path.size()));
}

} // namespace

std::string ExplainListRefusal(const std::string& text)
{
    ChecksumList parsed{};
    if (ParseChecksumList(text, parsed)) {
        return std::string();
    }
    if (text.empty()) {
        return "the list is empty";
    }
    if (text.size() > CHECKSUM_LIST_MAX_BYTES) {
        return "the list has " + std::to_string(text.size()) + " bytes; the updater reads at most " +
               std::to_string(CHECKSUM_LIST_MAX_BYTES);
    }
    bool game = false;
    bool package = false;
    bool library = false;
    std::set<std::wstring> seen;
    std::set<std::wstring> others;
    size_t number = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty() && line[0] == '#') {
            continue;
        }
        if (line.size() <= DIGEST_HEX_DIGITS + 2 || line[DIGEST_HEX_DIGITS] != ' ' ||
            (line[DIGEST_HEX_DIGITS + 1] != ' ' && line[DIGEST_HEX_DIGITS + 1] != '*')) {
            return where + "not \"<64 hex digits>  <path>\" as sha256sum writes it";
        }
        for (size_t i = 0; i < DIGEST_HEX_DIGITS; ++i) {
            if (!IsHexDigit(line[i])) {
                return where + "the digest holds a character that is not a hex digit";
            }
        }
        const std::string path = line.substr(DIGEST_HEX_DIGITS + 2);
        if (path == "game.exe" || path == "lib.zip") {
            bool& had = path == "game.exe" ? game : package;
            if (had) {
                return where + path + " is named a second time";
            }
            had = true;
        } else if (path.compare(0, 4, "lib/") == 0) {
            const std::string problem = LibraryPathProblem(path.substr(4));
            if (!problem.empty()) {
                return where + Shown(path) + ": " + problem;
            }
            const std::string relative = path.substr(4);
            if (!seen.insert(FoldCase(DecodeUtf8(relative.data(), relative.size()))).second) {
                return where + Shown(path) + " is named a second time (names that differ only in case are one file)";
            }
            library = true;
        } else {
            // Another file (a form newer updaters use): players' updaters ignore it, but only when it is safe and
            // named once.
            const std::string problem = LibraryPathProblem(path);
            if (!problem.empty()) {
                return where + Shown(path) + ": " + problem;
            }
            if (!others.insert(FoldCase(DecodeUtf8(path.data(), path.size()))).second) {
                return where + Shown(path) + " is named a second time (names that differ only in case are one file)";
            }
        }
    }
    if (!game || !package) {
        return std::string("no ") + (game ? "lib.zip" : "game.exe") + " line";
    }
    if (!library) {
        return "no lib/ line: a list must name the files lib.zip unpacks";
    }
    return "the updater refuses it";
}
