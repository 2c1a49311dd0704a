// The new game on its way to disk, from whichever form it is made: created anew, filled block by block while a thread
// of its own writes and hashes the blocks filled before, and kept only with the listed digest.
#include "update/game/game_forms.h"

// The blocks between the maker and the writing thread. The maker fills block `filling`; the writer takes the queued
// ones oldest first, and a block is the maker's again once written.
struct GameBlocks {
    HANDLE file = INVALID_HANDLE_VALUE;
    const Sha256Stream* hash = nullptr;
    std::unique_ptr<unsigned char[]> bytes[GAME_BLOCK_COUNT];
    size_t lengths[GAME_BLOCK_COUNT] = {};

    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    size_t first = 0;    // the oldest queued block
    size_t queued = 0;   // the block being written stays queued until it is done
    bool ended = false;  // nothing more will be queued
    bool failed = false; // a write or the hash failed, or the output was dropped: nothing more is written

    // The maker's own.
    size_t filling = 0;
    size_t filled = 0;
    uint64_t total = 0; // bytes handed over
    KernelHandle writer;
};

void GameBlocksStopper::operator()(GameBlocks* blocks) const
{
    AcquireSRWLockExclusive(&blocks->lock);
    blocks->failed = blocks->failed || !blocks->ended;
    blocks->ended = true;
    WakeAllConditionVariable(&blocks->changed);
    ReleaseSRWLockExclusive(&blocks->lock);
    if (blocks->writer) {
        WaitForSingleObject(blocks->writer.get(), INFINITE);
    }
    delete blocks;
}

namespace {

bool WriteBlock(GameBlocks& blocks, size_t index)
{
    const unsigned char* bytes = blocks.bytes[index].get();
    const DWORD length = static_cast<DWORD>(blocks.lengths[index]);
    DWORD done = 0;
    return WriteFile(blocks.file, bytes, length, &done, nullptr) && done == length &&
           AddSha256(*blocks.hash, bytes, length);
}

DWORD WINAPI WriteGameBlocks(void* parameter)
{
    GameBlocks& blocks = *static_cast<GameBlocks*>(parameter);
    AcquireSRWLockExclusive(&blocks.lock);
    while (!blocks.failed) {
        while (blocks.queued == 0 && !blocks.ended) {
            SleepConditionVariableSRW(&blocks.changed, &blocks.lock, INFINITE, 0);
        }
        if (blocks.queued == 0 || blocks.failed) {
            break;
        }
        ReleaseSRWLockExclusive(&blocks.lock);
        const bool written = WriteBlock(blocks, blocks.first);
        AcquireSRWLockExclusive(&blocks.lock);
        blocks.failed = blocks.failed || !written;
        blocks.first = (blocks.first + 1) % GAME_BLOCK_COUNT;
        --blocks.queued;
        WakeAllConditionVariable(&blocks.changed);
    }
    ReleaseSRWLockExclusive(&blocks.lock);
    return 0;
}

// Queues the block being filled and takes the next free one, waiting while the writer holds them all; written in
// place when no thread could be started. False when the writing failed.
bool QueueBlock(GameBlocks& blocks)
{
    blocks.lengths[blocks.filling] = blocks.filled;
    blocks.filled = 0;
    if (!blocks.writer) {
        return WriteBlock(blocks, blocks.filling);
    }
    AcquireSRWLockExclusive(&blocks.lock);
    ++blocks.queued;
    WakeAllConditionVariable(&blocks.changed);
    while (blocks.queued == GAME_BLOCK_COUNT && !blocks.failed) {
        SleepConditionVariableSRW(&blocks.changed, &blocks.lock, INFINITE, 0);
    }
    blocks.filling = (blocks.first + blocks.queued) % GAME_BLOCK_COUNT;
    const bool failed = blocks.failed;
    ReleaseSRWLockExclusive(&blocks.lock);
    return !failed;
}

} // namespace

bool CreateGameOutput(const std::wstring& path, GameOutput& output)
{
    output.longPath = MakeLongPath(path);
    const auto create = [&]() {
        return CreateFileW(output.longPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE file = create();
    // A read-only file an earlier run left under this name is the file's doing, not the folder's.
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED &&
        GetFileAttributesW(output.longPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        ClearBlockingAttributes(path);
        file = create();
    }
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    output.unfinished.reset(&output.longPath);
    output.file.reset(file);
    output.hash = StartSha256();
    if (!output.hash) {
        return false;
    }
    output.blocks.reset(new GameBlocks);
    GameBlocks& blocks = *output.blocks;
    blocks.file = file;
    blocks.hash = &output.hash;
    for (std::unique_ptr<unsigned char[]>& block : blocks.bytes) {
        block.reset(new unsigned char[GAME_BLOCK_BYTES]);
    }
    // Without a thread of its own each block is written when it is full.
    blocks.writer.reset(CreateThread(nullptr, 0, WriteGameBlocks, &blocks, 0, nullptr));
    return true;
}

unsigned char* GameOutputRoom(GameOutput& output, size_t& room)
{
    GameBlocks& blocks = *output.blocks;
    room = GAME_BLOCK_BYTES - blocks.filled;
    return blocks.bytes[blocks.filling].get() + blocks.filled;
}

bool CommitGameOutput(GameOutput& output, size_t count)
{
    GameBlocks& blocks = *output.blocks;
    if (count > FILE_MAX_BYTES - blocks.total) {
        return false;
    }
    blocks.total += count;
    blocks.filled += count;
    return blocks.filled < GAME_BLOCK_BYTES || QueueBlock(blocks);
}

bool FinishGameOutput(GameOutput& output, const Sha256Digest& digest)
{
    GameBlocks& blocks = *output.blocks;
    const bool queued = blocks.filled == 0 || QueueBlock(blocks);
    AcquireSRWLockExclusive(&blocks.lock);
    blocks.ended = true;
    WakeAllConditionVariable(&blocks.changed);
    ReleaseSRWLockExclusive(&blocks.lock);
    // Every queued block is written, or the writing has failed, once the thread has ended.
    if (blocks.writer) {
        WaitForSingleObject(blocks.writer.get(), INFINITE);
    }
    const bool written = queued && !blocks.failed;
    output.blocks.reset();
    Sha256Digest made{};
    const bool hashed = written && FinishSha256(output.hash, made);
    // Closed before it is kept or deleted; a close that fails may have lost the last bytes.
    const bool closed = CloseHandle(output.file.release()) != FALSE;
    if (!hashed || !closed || made != digest) {
        output.unfinished.reset();
        return false;
    }
    output.unfinished.release();
    return true;
}
