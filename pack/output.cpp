// How the tool writes what it makes: never over a file until the new one is whole, never over one of its inputs,
// and never removing a file it did not create.
#include "pack/pack.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// Attempts at a free temporary name; another run of the tool writing beside the same output takes another one.
const int TEMPORARY_NAME_ATTEMPTS = 100;

#ifdef _WIN32
int CreateNew(const fs::path& path)
{
    return _wopen(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
}

int WritePiece(int file, const char* bytes, size_t size)
{
    return _write(file, bytes, static_cast<unsigned>(std::min<size_t>(size, 1 << 30)));
}

bool Flush(int file)
{
    return _commit(file) == 0;
}

int CloseFile(int file)
{
    return _close(file);
}

long ProcessId()
{
    return static_cast<long>(GetCurrentProcessId());
}

bool RenameOver(const fs::path& from, const fs::path& to)
{
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
#else
int CreateNew(const fs::path& path)
{
    // Readable by others as any file the studio writes, through its umask.
    return open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
}

int WritePiece(int file, const char* bytes, size_t size)
{
    return static_cast<int>(write(file, bytes, std::min<size_t>(size, 1 << 30)));
}

bool Flush(int file)
{
    return fsync(file) == 0;
}

int CloseFile(int file)
{
    return close(file);
}

long ProcessId()
{
    return static_cast<long>(getpid());
}

bool RenameOver(const fs::path& from, const fs::path& to)
{
    return std::rename(from.c_str(), to.c_str()) == 0;
}
#endif

} // namespace

bool WriteTemporaryBeside(const fs::path& output, const std::string& bytes, fs::path& temporary, std::string& message)
{
    int file = -1;
    for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS && file < 0; ++attempt) {
        temporary = output;
        temporary += ".partial-" + std::to_string(ProcessId()) + "-" + std::to_string(attempt);
        file = CreateNew(temporary);
        if (file < 0 && errno != EEXIST) {
            break;
        }
    }
    if (file < 0) {
        message = "cannot create a temporary file beside " + PathToUtf8(output);
        temporary.clear();
        return false;
    }
    size_t done = 0;
    bool whole = true;
    while (whole && done < bytes.size()) {
        const int written = WritePiece(file, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        whole = written > 0;
        done += whole ? static_cast<size_t>(written) : 0;
    }
    // On the disk before it takes the output's name, so that a power cut leaves the old file or the new one.
    whole = whole && Flush(file);
    if (CloseFile(file) != 0 || !whole) {
        DiscardTemporary(temporary);
        message = "cannot write " + PathToUtf8(output) + " (the disk may be full); it is unchanged";
        return false;
    }
    return true;
}

bool ReplaceWithTemporary(const fs::path& temporary, const fs::path& output, std::string& message)
{
    if (!RenameOver(temporary, output)) {
        DiscardTemporary(temporary);
        message = "cannot replace " + PathToUtf8(output) + "; it is unchanged";
        return false;
    }
    return true;
}

void DiscardTemporary(const fs::path& temporary)
{
    std::error_code ignored;
    fs::remove(temporary, ignored);
}

bool WriteOutputFile(const fs::path& output, const std::string& bytes, std::string& message)
{
    fs::path temporary;
    return WriteTemporaryBeside(output, bytes, temporary, message) && ReplaceWithTemporary(temporary, output, message);
}

bool IsSameFile(const fs::path& a, const fs::path& b)
{
    std::error_code error;
    const bool same = fs::equivalent(a, b, error);
    return !error && same;
}
