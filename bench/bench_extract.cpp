// Times archive extraction under Wine against the cost of the same writes without any archive:
//
//   bench_extract.exe zip ARCHIVE TARGET      ExtractZip into TARGET; prints ok, seconds, peak_working_set
//   bench_extract.exe floor [--as-zip] MANIFEST TARGET
//       a bare CreateFileW/WriteFile loop writing the files that MANIFEST lists ("SIZE<TAB>stored|deflated<TAB>path"
//       lines) with no archive at all, each file in one write and each folder created once; prints seconds.
//       --as-zip makes the same Windows calls as ExtractZip instead: extended-length paths, each parent folder
//       created once, deflated files written in the 1 MiB buffers that ExtractZip gathers inflated data into
//   bench_extract.exe read ARCHIVE            only the reading of the archive into memory in 1 MiB reads
//   bench_extract.exe map ARCHIVE             the alternative to reading: a read-only mapping of the archive, every
//                                             page touched once, as unpacking would touch it
//   bench_extract.exe decode ARCHIVE          reads the archive, then times only the zip library inflating and
//                                             checking every entry into a callback that keeps nothing
//   bench_extract.exe idle                    prints the peak working set of a process that does nothing
#include "bench/bench_support.h"

#include "archive/archive.h"
#include "fs/fs.h"

#include "archive/zipreader/zip_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

const DWORD READ_PIECE_BYTES = 0x100000;
const DWORD GATHERED_PIECE_BYTES = 0x100000;

struct ManifestFile {
    unsigned long long size;
    bool deflated;
    std::wstring path;
};

bool ReadWholeFile(const std::wstring& path, std::string& bytes)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size = {};
    bool ok = GetFileSizeEx(file, &size) != FALSE;
    if (ok) {
        bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    }
    size_t offset = 0;
    while (ok && offset < bytes.size()) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, READ_PIECE_BYTES));
        DWORD pieceRead = 0;
        ok = ReadFile(file, &bytes[offset], piece, &pieceRead, nullptr) != FALSE && pieceRead > 0;
        offset += pieceRead;
    }
    CloseHandle(file);
    return ok;
}

bool ReadManifest(const std::wstring& path, std::vector<ManifestFile>& files)
{
    std::string text;
    if (!ReadWholeFile(path, text)) {
        return false;
    }
    size_t lineStart = 0;
    while (lineStart < text.size()) {
        size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string::npos) {
            lineEnd = text.size();
        }
        const std::string line = text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        const size_t tab = line.find('\t');
        const size_t secondTab = tab == std::string::npos ? tab : line.find('\t', tab + 1);
        if (secondTab == std::string::npos) {
            continue;
        }
        ManifestFile file = {std::stoull(line.substr(0, tab)), line.compare(tab + 1, 8, "deflated") == 0,
                             std::wstring()};
        // The generator writes plain ASCII names.
        for (size_t i = secondTab + 1; i < line.size(); ++i) {
            file.path.push_back(line[i] == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(line[i])));
        }
        files.push_back(file);
    }
    return !files.empty();
}

int TimeExtractZip(const std::wstring& archive, const std::wstring& target)
{
    std::string message;
    const double start = NowSeconds();
    const bool ok = ExtractZip(archive, target, nullptr, message);
    const double seconds = NowSeconds() - start;
    PrintCount("ok", ok ? 1 : 0);
    PrintFigure("seconds", seconds);
    PrintCount("peak_working_set", PeakWorkingSetBytes());
    if (!ok) {
        std::printf("message=%s\n", message.c_str());
    }
    return ok ? 0 : 1;
}

// Creates the folders on the way to a file once each, as the cheapest possible extractor would.
void CreateFoldersOnce(const std::wstring& root, const std::wstring& name, std::set<std::wstring>& created)
{
    for (size_t at = name.find(L'\\'); at != std::wstring::npos; at = name.find(L'\\', at + 1)) {
        const std::wstring folder = root + name.substr(0, at);
        if (created.insert(folder).second) {
            CreateDirectoryW(folder.c_str(), nullptr);
        }
    }
}

// Writes one file's bytes in pieces of at most pieceBytes; true when all were written.
bool WriteInPieces(HANDLE file, const unsigned char* data, unsigned long long size, unsigned long long pieceBytes,
                   unsigned long long& bytes)
{
    unsigned long long done = 0;
    while (done < size) {
        const DWORD piece = static_cast<DWORD>(std::min(size - done, pieceBytes));
        DWORD written = 0;
        if (!WriteFile(file, data + done, piece, &written, nullptr) || written != piece) {
            return false;
        }
        done += written;
    }
    bytes += done;
    return true;
}

int TimeWriteFloor(const std::wstring& manifestPath, const std::wstring& target, bool asZip)
{
    std::vector<ManifestFile> files;
    if (!ReadManifest(manifestPath, files)) {
        return Usage("cannot read the manifest");
    }
    unsigned long long largest = 1;
    for (const ManifestFile& file : files) {
        largest = std::max(largest, file.size);
    }
    // Bytes that no file system could compress or skip; their value does not matter to the disk.
    std::unique_ptr<unsigned char[]> data(new unsigned char[largest]);
    unsigned int state = 12345;
    for (unsigned long long i = 0; i < largest; ++i) {
        state = state * 1103515245u + 12345u;
        data[i] = static_cast<unsigned char>(state >> 24);
    }
    const std::wstring root = target + L"\\";
    std::set<std::wstring> created;
    unsigned long long bytes = 0;
    bool ok = CreateDirectoryW(target.c_str(), nullptr) != FALSE || GetLastError() == ERROR_ALREADY_EXISTS;

    const double start = NowSeconds();
    for (size_t i = 0; i < files.size() && ok; ++i) {
        std::wstring path = root + files[i].path;
        unsigned long long piece = files[i].size;
        if (asZip) {
            ZipCreateParentDirs(root, files[i].path, created);
            path = MakeLongPath(path);
            piece = files[i].deflated ? GATHERED_PIECE_BYTES : files[i].size;
        } else {
            CreateFoldersOnce(root, files[i].path, created);
        }
        const HANDLE file =
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            ok = false;
            break;
        }
        ok = WriteInPieces(file, data.get(), files[i].size, std::max(piece, 1ULL), bytes);
        CloseHandle(file);
    }
    const double seconds = NowSeconds() - start;
    PrintCount("ok", ok ? 1 : 0);
    PrintFigure("seconds", seconds);
    PrintCount("files", files.size());
    PrintCount("bytes", bytes);
    return ok ? 0 : 1;
}

size_t DiscardBytes(void*, mz_uint64, const void*, size_t length)
{
    return length;
}

int TimeDecode(const std::wstring& archive)
{
    std::string image;
    if (!ReadWholeFile(archive, image)) {
        return Usage("cannot read the archive");
    }
    mz_zip_archive zip;
    std::memset(&zip, 0, sizeof(zip));
    if (!mz_zip_reader_init_mem(&zip, image.data(), image.size(), 0)) {
        return Usage("not a zip archive");
    }
    bool ok = true;
    const double start = NowSeconds();
    const mz_uint count = mz_zip_reader_get_num_files(&zip);
    for (mz_uint i = 0; i < count && ok; ++i) {
        ok = mz_zip_reader_extract_to_callback(&zip, i, DiscardBytes, nullptr, 0) != MZ_FALSE;
    }
    const double seconds = NowSeconds() - start;
    mz_zip_reader_end(&zip);
    PrintCount("ok", ok ? 1 : 0);
    PrintFigure("seconds", seconds);
    return ok ? 0 : 1;
}

int TimeArchiveRead(const std::wstring& archive)
{
    std::string image;
    const double start = NowSeconds();
    const bool ok = ReadWholeFile(archive, image);
    const double seconds = NowSeconds() - start;
    PrintCount("ok", ok ? 1 : 0);
    PrintFigure("seconds", seconds);
    PrintCount("bytes", image.size());
    return ok ? 0 : 1;
}

// Maps the archive read-only and touches every page, so that the time includes the page faults that reading would
// have replaced; the sum is printed so that the touching cannot be left out by the compiler.
int TimeArchiveMap(const std::wstring& archive)
{
    const double start = NowSeconds();
    const HANDLE file = CreateFileW(archive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Usage("cannot open the archive");
    }
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const unsigned char* view = mapping != nullptr
                                    ? static_cast<const unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0))
                                    : nullptr;
    unsigned long long sum = 0;
    for (long long at = 0; view != nullptr && at < size.QuadPart; at += 4096) {
        sum += view[at];
    }
    const double seconds = NowSeconds() - start;
    const bool ok = view != nullptr;
    if (view != nullptr) {
        UnmapViewOfFile(view);
    }
    if (mapping != nullptr) {
        CloseHandle(mapping);
    }
    CloseHandle(file);
    PrintCount("ok", ok ? 1 : 0);
    PrintFigure("seconds", seconds);
    PrintCount("sum", sum);
    return ok ? 0 : 1;
}

} // namespace

int main()
{
    const std::vector<std::wstring> arguments = ProgramArguments();
    if (arguments.size() == 3 && arguments[0] == L"zip") {
        return TimeExtractZip(arguments[1], arguments[2]);
    }
    if (arguments.size() == 3 && arguments[0] == L"floor") {
        return TimeWriteFloor(arguments[1], arguments[2], false);
    }
    if (arguments.size() == 4 && arguments[0] == L"floor" && arguments[1] == L"--as-zip") {
        return TimeWriteFloor(arguments[2], arguments[3], true);
    }
    if (arguments.size() == 2 && arguments[0] == L"decode") {
        return TimeDecode(arguments[1]);
    }
    if (arguments.size() == 2 && arguments[0] == L"read") {
        return TimeArchiveRead(arguments[1]);
    }
    if (arguments.size() == 2 && arguments[0] == L"map") {
        return TimeArchiveMap(arguments[1]);
    }
    if (arguments.size() == 1 && arguments[0] == L"idle") {
        PrintCount("peak_working_set", PeakWorkingSetBytes());
        return 0;
    }
    return Usage("usage: bench_extract.exe zip ARCHIVE TARGET | floor [--as-zip] MANIFEST TARGET | read ARCHIVE | "
                 "map ARCHIVE | decode ARCHIVE | idle");
}
