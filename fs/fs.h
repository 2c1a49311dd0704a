#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// File-system toolkit. Every function is best effort: it raises nothing for a file-system error, and those that
// answer do so with their result; only an allocation failure propagates (std::bad_alloc), and what a pool task lets
// out is handed back to the thread that takes its result.

// Paths (paths.cpp).

// The extended-length form of an absolute path ("\\?\C:\..." or "\\?\UNC\server\..."); any other path (relative,
// drive-relative, forward slashes) unchanged. No file-system access.
std::wstring MakeLongPath(const std::wstring& path);

// The directory path with one backslash at its end (an empty path stays empty).
std::wstring WithTrailingBackslash(const std::wstring& directory);

// The folder part of a path, up to and including its last backslash; empty when it has none.
std::wstring FolderOf(const std::wstring& path);

// The absolute form of a path as the system resolves it against the current directory; false with the Windows
// error code in error when it cannot.
bool AbsolutePathOf(const std::wstring& path, std::wstring& absolute, unsigned long& error);

// Files another program holds (held_file.cpp).

// Resets a file or directory that is read-only, hidden or system to FILE_ATTRIBUTE_NORMAL.
void ClearBlockingAttributes(const std::wstring& path);

// True for the error codes that mean "another program holds this file": sharing, lock, user-mapped, access denied.
bool IsInUseError(unsigned long errorCode);

// True for the codes with which a folder refuses new files whatever is tried again: access denied, write-protected
// media, a share that denies access.
bool IsWriteRefusal(unsigned long errorCode);

// How long a file that another program holds is waited for: how many attempts, and after which failures (counted
// from 1) it is moved aside. The pauses after each failure are the same for every caller: four of 150 ms, then
// 400 ms.
struct HeldFileRetries {
    int attempts;
    int firstAsideAfterFailures;
    int secondAsideAfterFailures;
};

// Calls attempt (which answers 0 or the Windows error code it met) until it succeeds, while it fails with an in-use
// error: after each such failure clears the blocking attributes of path on access denied, moves path aside at the
// two failures the retries name, and pauses. True on success; otherwise false with the last code in error (an
// in-use one when every attempt was spent).
bool RetryWhileHeld(const std::wstring& path, const HeldFileRetries& retries,
                    const std::function<unsigned long()>& attempt, unsigned long& error);

// Aside names (move_aside.cpp).

// Renames a file that cannot be replaced to a free "<path>.old-XXXXXXXXXX" name beside it, then deletes the renamed
// copy at once or asks for its deletion at the next restart.
void MoveLockedFileAside(const std::wstring& path);

// A "<path>.old-XXXXXXXXXX" name beside path under which nothing exists yet; empty when none of the attempts is
// free.
std::wstring FreeAsideName(const std::wstring& path);

// Renames a file or directory to a free "<path>.old-XXXXXXXXXX" name beside it and returns that name, keeping the
// renamed copy for the caller to delete or put back; empty when the rename failed and nothing changed.
std::wstring RenameAside(const std::wstring& path);

// Deletes a file under an aside name at once, or asks for its deletion at the next restart when it is still held.
void DeleteAsideFile(const std::wstring& asidePath);

// Deletes the aside files that earlier runs left directly inside a directory (not in its subdirectories).
void SweepAsideLeftovers(const std::wstring& directory);

// True for a name of the form MoveLockedFileAside makes: anything, ".old-", then exactly 10 lower-case hex digits.
// Portable (aside_name.cpp): the package tool builds it natively.
bool IsAsideName(const std::wstring& fileName);

// Directory walks (walk.cpp, empty_tree.cpp).

// One entry a walk lists.
struct DirectoryEntry {
    std::wstring name;      // as the directory lists it
    std::wstring path;      // the walked directory, a backslash, the entries' names below it
    bool directory = false; // a directory, a link to one included
    bool link = false;      // a reparse point (junction, symbolic link), which a walk never enters
};

// What a visitor is given; returning false ends the walk.
using DirectoryVisitor = std::function<bool(const DirectoryEntry& entry)>;

// ONE_LEVEL visits the entries of the directory only; DIRECTORY_FIRST visits each subdirectory before its entries,
// CONTENTS_FIRST after them.
enum class WalkOrder { ONE_LEVEL, DIRECTORY_FIRST, CONTENTS_FIRST };

// Visits the entries that match pattern ("*" for all) through an extended-length search, "." and ".." left out,
// never entering a link. True when every listing ran to its end and no visit ended the walk; a directory that
// cannot be listed is passed over and makes the answer false.
bool WalkDirectory(const std::wstring& directory, const wchar_t* pattern, WalkOrder order,
                   const DirectoryVisitor& visit);

// Deletes a file, clearing its blocking attributes when they refuse the deletion; moves it aside when another program
// holds it.
void DeleteFileOrMoveAside(const std::wstring& path);

// Removes everything below a directory and keeps the directory itself; files in use are moved aside, links are
// removed without following them.
void DeleteDirectoryContentsRecursive(const std::wstring& directory);

// Removes a directory and everything below it as far as nothing holds it; links are removed without following them.
void RemoveDirectoryTree(const std::wstring& directory);

// How an image's bytes go back to the system: delete[] unless the owner of a region allocated otherwise (memory
// reserved whole and committed as bytes arrive) names its own release.
struct ImageRelease {
    void (*release)(unsigned char* bytes) = nullptr;
    void operator()(unsigned char* bytes) const
    {
        if (release != nullptr) {
            release(bytes);
        } else {
            delete[] bytes;
        }
    }
};

// A whole file's bytes in memory: a downloaded package, read by the zip library from here and never from disk.
struct MemoryImage {
    std::unique_ptr<unsigned char[], ImageRelease> bytes;
    size_t size = 0;
};

// Gives the image size cleared bytes from the heap, dropping what it held (whoever allocated that). Throws
// std::bad_alloc.
inline void AllocateImage(MemoryImage& image, size_t size)
{
    image.bytes = std::unique_ptr<unsigned char[], ImageRelease>(new unsigned char[size]());
    image.size = size;
}

// A SHA-256 digest in the byte order sha256sum prints it.
using Sha256Digest = std::array<unsigned char, 32>;

// What a file's metadata says of it, read without its bytes (file_facts.cpp). Windows moves the change time on every
// write, rename and attribute change, and no ordinary program sets it back; the volume's serial number and the file's
// ID name the file itself.
struct FileFacts {
    uint64_t size = 0;
    int64_t lastWriteTime = 0; // FILETIME units, UTC
    int64_t changeTime = 0;
    uint64_t volumeSerial = 0;
    std::array<unsigned char, 16> fileId{}; // 128 bits where the system lists them, else 64 in the low half
};

// Reads each file's facts from its folder's listing, one listing per folder and one volume query per tree, opening no
// file; false in read for a directory or a file that is not listed or whose folder could not be listed whole. Throws
// std::bad_alloc.
void ReadFilesFacts(const std::vector<std::wstring>& paths, std::vector<FileFacts>& facts, std::vector<char>& read);

// The same for one file. Throws std::bad_alloc.
bool ReadFileFacts(const std::wstring& path, FileFacts& facts);

// True when every fact is the same.
bool SameFileFacts(const FileFacts& a, const FileFacts& b);

// SHA-256 of a file's bytes through the system's hash provider, read in large blocks; false when the file cannot be
// opened or read to its end.
bool HashFileSha256(const std::wstring& path, Sha256Digest& digest);

// A file and the SHA-256 it should have.
struct FileDigest {
    std::wstring path;
    Sha256Digest digest;
};

// True when bytes in memory have the digest (false also when the system's provider fails).
bool BytesHaveDigest(const void* bytes, size_t size, const Sha256Digest& digest);

// Hashes every file on a pool (PoolThreadCount threads) into its digest; a file that cannot be opened or read to its
// end gets no digest (false in hashed). Throws std::bad_alloc.
void HashFiles(std::vector<FileDigest>& files, std::vector<char>& hashed);

// A SHA-256 computed piece by piece, as bytes arrive; empty when the system's provider cannot be opened.
struct Sha256Context;
struct Sha256ContextDeleter {
    void operator()(Sha256Context* context) const;
};
using Sha256Stream = std::unique_ptr<Sha256Context, Sha256ContextDeleter>;

Sha256Stream StartSha256();
bool AddSha256(const Sha256Stream& stream, const void* bytes, size_t length);
bool FinishSha256(const Sha256Stream& stream, Sha256Digest& digest);

// A few threads that run tasks, named by index, for one submitting thread: unpacking entries, hashing files. Tasks
// start oldest first; the submitter collects finished ones and decides what their results mean and in what order.

// How many threads a pool gets: the machine's cores, at most 8; VORLANCE_POOL_THREADS (1 to 8), read once, chooses
// instead, for the benchmark.
size_t PoolThreadCount();

// What a task does: worker is the thread's number (0 to threadCount - 1), for state of its own; task the index it was
// submitted with. An exception it lets out is rethrown to the submitter by TakeFinishedTasks.
using TaskFunction = std::function<void(size_t worker, size_t task)>;
struct TaskPool;
struct TaskPoolStopper {
    void operator()(TaskPool* pool) const;
};
// Stopping drops the tasks not yet started and waits for those running.
using TaskPoolHolder = std::unique_ptr<TaskPool, TaskPoolStopper>;

// Starts up to threadCount threads (fewer when the system refuses more); an empty holder when none starts. Throws
// std::bad_alloc.
TaskPoolHolder StartTaskPool(size_t threadCount, TaskFunction run);
// The number of threads that started.
size_t TaskPoolSize(const TaskPool& pool);
// Queues a task. Throws std::bad_alloc.
void SubmitTask(TaskPool& pool, size_t task);
// Gives the tasks finished since the last call; with wait, first waits until there is one, unless none is queued or
// running. False when there were none. Rethrows what a task threw. Throws std::bad_alloc.
bool TakeFinishedTasks(TaskPool& pool, std::vector<size_t>& finished, bool wait);
