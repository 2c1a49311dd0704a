// Arbitrary bytes as the mirror's checksum list. A list the parser accepts must name only paths that stay below the
// library folder in the one spelling the folder walk produces, one entry per line, and must read back the same
// when written out again the way the studio's tool writes it.
#include "update/checksum_list.h"

#include "archive/archive.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void Finding(const char* what)
{
    std::fprintf(stderr, "checksum list finding: %s\n", what);
    std::abort();
}

// UTF-16 code units (in wchar_t) to UTF-8, '\' written as '/'. Written apart from the archive's WideToUtf8 on
// purpose: the parser checks its paths with that one, so only a second encoder can catch a fault in it.
std::string ListPath(const std::wstring& path)
{
    std::string out;
    for (size_t i = 0; i < path.size(); ++i) {
        uint32_t c = static_cast<uint32_t>(path[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < path.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(path[++i]) - 0xDC00);
        }
        if (c == L'\\') {
            out += '/';
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Components between '\' separators: none empty, none "." or "..", no '/', ':' or C0 control character anywhere
// (Windows creates names with DEL and C1 characters, so a list may name them).
void CheckPath(const std::wstring& path)
{
    if (!IsSafeEntryName(path)) {
        Finding("accepted a path the entry-name rule refuses");
    }
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(path.find(L'\\', start), path.size());
        const std::wstring part = path.substr(start, end - start);
        if (part.empty() || part == L"." || part == L"..") {
            Finding("accepted an empty, '.' or '..' component");
        }
        for (const wchar_t c : part) {
            if (c == L'/' || c == L':' || c < 0x20) {
                Finding("accepted a path with '/', ':' or a control character");
            }
        }
        if (end == path.size()) {
            return;
        }
        start = end + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    ChecksumList list{};
    if (!ParseChecksumList(text, list)) {
        return 0;
    }
    // Lines that begin with '#' are comments; every other line is one entry.
    size_t lines = 0;
    for (size_t start = 0; start < text.size(); start = std::min(text.find('\n', start), text.size()) + 1) {
        lines += text[start] != '#' ? 1 : 0;
    }
    if (lines != list.libraryFiles.size() + list.otherFiles.size() + 2) {
        Finding("the entries do not match the lines one to one");
    }
    // The release comes only from a whole first line of the one form "# release N".
    const std::string releaseLine = list.release != 0 ? ReleaseLine(list.release) : std::string();
    const size_t releaseEnd = releaseLine.empty() ? 0 : releaseLine.size() - 1;
    if (list.release != 0 && (text.compare(0, releaseEnd, releaseLine, 0, releaseEnd) != 0 ||
                              (text.size() > releaseEnd && text[releaseEnd] != '\n' && text[releaseEnd] != '\r'))) {
        Finding("a release read from anything but a first line of the release form");
    }
    std::string written = releaseLine + FormatDigestHex(list.gameExecutable) + "  game.exe\n" +
                          FormatDigestHex(list.libraryPackage) + "  lib.zip\n";
    for (const LibraryFileChecksum& file : list.libraryFiles) {
        CheckPath(file.relativePath);
        written += FormatDigestHex(file.digest) + "  lib/" + ListPath(file.relativePath) + "\n";
    }
    // A file this updater does not use is kept under its listed name, which is none of the names it does use and
    // holds nothing that could leave the release's folder.
    for (const ListedFile& file : list.otherFiles) {
        if (file.name == "game.exe" || file.name == "lib.zip" || file.name.compare(0, 4, "lib/") == 0 ||
            file.name.find_first_of(":\\") != std::string::npos || file.name[0] == '/') {
            Finding("kept another file under a name the updater uses or that leaves the release");
        }
        written += FormatDigestHex(file.digest) + "  " + file.name + "\n";
    }
    ChecksumList reread{};
    if (!ParseChecksumList(written, reread)) {
        Finding("the list written out again is refused");
    }
    if (reread.release != list.release || reread.gameExecutable != list.gameExecutable ||
        reread.libraryPackage != list.libraryPackage || reread.libraryFiles.size() != list.libraryFiles.size() ||
        reread.otherFiles.size() != list.otherFiles.size()) {
        Finding("the list written out again reads differently");
    }
    for (size_t i = 0; i < list.libraryFiles.size(); ++i) {
        if (reread.libraryFiles[i].relativePath != list.libraryFiles[i].relativePath ||
            reread.libraryFiles[i].digest != list.libraryFiles[i].digest) {
            Finding("a library line written out again reads differently");
        }
    }
    return 0;
}
