#pragma once

#include <array>
#include <string>

// File-system toolkit. Every function is best effort: it reports nothing and raises nothing for a
// file-system error; only an allocation failure propagates (std::bad_alloc).

// The extended-length form of an absolute path ("\\?\C:\..." or "\\?\UNC\server\..."); any other path (relative,
// drive-relative, forward slashes) unchanged. No file-system access.
std::wstring MakeLongPath(const std::wstring& path);

// Resets a file or directory that is read-only, hidden or system to FILE_ATTRIBUTE_NORMAL.
void ClearBlockingAttributes(const std::wstring& path);

// Renames a file that cannot be replaced to a free "<path>.old-XXXXXXXXXX" name beside it, then deletes the renamed
// copy at once or asks for its deletion at the next restart.
void MoveLockedFileAside(const std::wstring& path);

// Deletes the aside files that earlier runs left directly inside a directory (not in its subdirectories).
void SweepAsideLeftovers(const std::wstring& directory);

// Removes everything below a directory and keeps the directory itself; files in use are moved aside, links are
// removed without following them.
void DeleteDirectoryContentsRecursive(const std::wstring& directory);

// The directory path with one backslash at its end (an empty path stays empty).
std::wstring WithTrailingBackslash(const std::wstring& directory);

// True for a name of the form MoveLockedFileAside makes: anything, ".old-", then exactly 10 lower-case hex digits.
bool IsAsideName(const std::wstring& fileName);

// True for the "." and ".." entries a directory search lists besides the real ones.
bool IsDotEntry(const wchar_t* name);

// True for the error codes that mean "another program holds this file": sharing, lock, user-mapped, access denied.
bool IsInUseError(unsigned long errorCode);

// A SHA-256 digest in the byte order sha256sum prints it.
using Sha256Digest = std::array<unsigned char, 32>;

// SHA-256 of a file's bytes through the system's hash provider, read in large blocks; false when the file cannot be
// opened or read to its end.
bool HashFileSha256(const std::wstring& path, Sha256Digest& digest);
