#pragma once

#include "update/checksum_list.h"

#include "download/download.h"
#include "fs/fs.h"
#include "fs/handles.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The game's smaller forms on the mirrors, each named in the checksum list with its own SHA-256: a delta from an
// installed release ("game.exe.from-" and the first 16 lower-case hex digits of that release's game SHA-256) and the
// whole game gzipped ("game.exe.gz"). Each is fetched whole to a temporary file beside the game, then turned into
// "vorlance_new.exe", hashed as it is written and kept only with the list's "game.exe" SHA-256. Internal to the
// update phases.
//
// A delta is a 144-byte header, then three zlib streams back to back: control (records of add, copy and seek, 24
// bytes each), difference and extra. The installed game is mapped read-only, never written; beyond that mapping
// applying holds each stream's zlib state and window and its input and output buffers (about 1 MiB in all) and the
// output's blocks (1 MiB).

const char GAME_GZIP_NAME[] = "game.exe.gz";

// The name of the delta that turns the game with this SHA-256 into a release's game. Throws std::bad_alloc.
std::string GameDeltaName(const Sha256Digest& installedGame);

// Tries, in order, the delta for installedGame (null: the installed game could not be hashed) and "game.exe.gz",
// each at every mirror in turn, each only when the list names it: a form whose transfer fails or whose bytes are
// not the listed ones is a failed attempt at that mirror, and the next mirror follows; a form whose listed bytes do
// not give the listed game (or one isUsable refuses) gives way to the next form, since the other mirror's copy is the
// same bytes. A folder that refuses the temporary file ends the forms. True when "vorlance_new.exe" holds the listed
// game; otherwise it is absent. Never throws.
bool FetchGameForm(const std::wstring& programDirectory, HWND window, const ChecksumList& list,
                   const Sha256Digest* installedGame, const std::vector<const wchar_t*>& mirrors,
                   const FileCheck& isUsable);

// Applies the delta in deltaPath to the game in oldPath, whose SHA-256 the caller knows (oldDigest), writing newPath;
// true when the delta is whole and well-formed, names that old game and newDigest, and its result has newDigest.
// Otherwise a newPath it began is deleted. Never throws.
bool ApplyGameDelta(const std::wstring& deltaPath, const std::wstring& oldPath, const Sha256Digest& oldDigest,
                    const Sha256Digest& newDigest, const std::wstring& newPath);

// Inflates the gzip file gzipPath (one member or several, nothing after them) into newPath; true when it is whole
// and its result has newDigest. Otherwise a newPath it began is deleted. Never throws.
bool InflateGameGzip(const std::wstring& gzipPath, const std::wstring& newPath, const Sha256Digest& newDigest);

// The new game on its way to disk, in blocks of GAME_BLOCK_BYTES: the maker fills one while a thread of the output's
// own writes and hashes those filled before (one core hashes while the other inflates; Wine's SHA-256 is slower than
// inflating). Deleted on every way out but Finish's success. Members are released in reverse order: the thread ends
// before the file is closed, and the file is closed before it is deleted.
// Small blocks start the hashing soon after the making; four let the maker run a block ahead.
const size_t GAME_BLOCK_BYTES = 256 * 1024;
const size_t GAME_BLOCK_COUNT = 4;
struct GameBlocks;
struct GameBlocksStopper {
    void operator()(GameBlocks* blocks) const;
};
struct GameOutput {
    std::wstring longPath;
    TemporaryFile unfinished;
    KernelHandle file;
    Sha256Stream hash;
    std::unique_ptr<GameBlocks, GameBlocksStopper> blocks;
};

// Creates path anew for writing, clearing the attributes of a read-only file an earlier run left under its name, and
// starts its writing. Throws std::bad_alloc.
bool CreateGameOutput(const std::wstring& path, GameOutput& output);
// The free part of the block being filled: room bytes, at least one.
unsigned char* GameOutputRoom(GameOutput& output, size_t& room);
// Hands over the next count bytes of the room; false when the writing failed (a write Windows refused, the file past
// FILE_MAX_BYTES).
bool CommitGameOutput(GameOutput& output, size_t count);
// Writes what is left, closes the file and keeps it when its bytes have digest; otherwise closes and deletes it.
bool FinishGameOutput(GameOutput& output, const Sha256Digest& digest);
