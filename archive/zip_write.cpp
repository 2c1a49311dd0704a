#include "archive/zip_write.h"

#include "archive/archive.h"

#include "fs/fs.h"
#include "fs/handles.h"

#include <algorithm>
#include <cstring>

namespace {

// WriteFile counts in 32 bits; a stored entry arrives from the zip library in one piece of any size.
const size_t WRITE_PIECE_BYTES = 0x4000000; // 64 MiB
// Inflated data arrives in 32 KiB pieces; it is gathered into buffers of this size, so that one write covers many
// pieces, and the writer holds at most this many of them.
const size_t BUFFER_BYTES = 0x100000; // 1 MiB
const size_t BUFFER_COUNT = 4;
// Every buffer, plus one piece written straight from the archive image.
const size_t QUEUE_SLOTS = BUFFER_COUNT + 1;

// Writes every byte; false when WriteFile fails or writes nothing.
bool WriteAll(HANDLE file, const char* bytes, size_t length, size_t& written)
{
    written = 0;
    while (written < length) {
        const DWORD piece = static_cast<DWORD>(std::min(length - written, WRITE_PIECE_BYTES));
        DWORD pieceWritten = 0;
        if (!WriteFile(file, bytes + written, piece, &pieceWritten, nullptr) || pieceWritten == 0) {
            return false;
        }
        written += pieceWritten;
    }
    return true;
}

struct WritePiece {
    HANDLE file;
    const char* bytes;
    size_t length;
    bool fromBuffer; // false for bytes that lie in the archive image
};

} // namespace

// The extracting thread fills one buffer at a time and queues it; the writer thread writes the queue in order.
// Entries follow one another: FinishZipWrites empties the queue before the next entry's file is opened, so an error
// always belongs to the entry that is being finished.
struct ZipWriter {
    const char* imageBegin = nullptr;
    size_t imageSize = 0;
    std::unique_ptr<char[]> buffers;

    // Shared with the writer thread, under lock.
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    WritePiece queue[QUEUE_SLOTS] = {};
    size_t queueFirst = 0;
    size_t queueCount = 0; // the piece being written stays counted until it is done
    size_t buffersQueued = 0;
    bool failed = false; // a write of the current entry failed; later pieces of it are dropped
    bool stopping = false;

    // The extracting thread's own: the buffer it fills, and whether the entry has queued anything yet.
    size_t fillingBuffer = 0;
    size_t filled = 0;
    bool entryQueued = false;

    KernelHandle thread;
};

namespace {

char* FillingBuffer(ZipWriter& writer)
{
    return writer.buffers.get() + writer.fillingBuffer * BUFFER_BYTES;
}

DWORD WINAPI RunZipWriter(void* parameter)
{
    ZipWriter& writer = *static_cast<ZipWriter*>(parameter);
    AcquireSRWLockExclusive(&writer.lock);
    for (;;) {
        while (writer.queueCount == 0 && !writer.stopping) {
            SleepConditionVariableSRW(&writer.changed, &writer.lock, INFINITE, 0);
        }
        if (writer.queueCount == 0) {
            break;
        }
        const WritePiece piece = writer.queue[writer.queueFirst];
        const bool dropped = writer.failed;
        ReleaseSRWLockExclusive(&writer.lock);
        size_t written = 0;
        const bool ok = dropped || WriteAll(piece.file, piece.bytes, piece.length, written);
        AcquireSRWLockExclusive(&writer.lock);
        writer.failed = writer.failed || !ok;
        writer.queueFirst = (writer.queueFirst + 1) % QUEUE_SLOTS;
        --writer.queueCount;
        if (piece.fromBuffer) {
            --writer.buffersQueued;
        }
        WakeAllConditionVariable(&writer.changed);
    }
    ReleaseSRWLockExclusive(&writer.lock);
    return 0;
}

// Queues a piece once there is room for it; false (nothing queued) when a write of this entry already failed.
bool QueuePiece(ZipWriter& writer, const WritePiece& piece)
{
    AcquireSRWLockExclusive(&writer.lock);
    while (writer.queueCount == QUEUE_SLOTS && !writer.failed) {
        SleepConditionVariableSRW(&writer.changed, &writer.lock, INFINITE, 0);
    }
    const bool queued = !writer.failed;
    if (queued) {
        writer.queue[(writer.queueFirst + writer.queueCount) % QUEUE_SLOTS] = piece;
        ++writer.queueCount;
        writer.buffersQueued += piece.fromBuffer ? 1 : 0;
        WakeAllConditionVariable(&writer.changed);
    }
    ReleaseSRWLockExclusive(&writer.lock);
    writer.entryQueued = true;
    return queued;
}

// Queues the buffer being filled, if it holds anything, and moves on to the next one once the writer is done with it.
// False when a write of this entry already failed.
bool QueueFilledBuffer(ZipWriter& writer, HANDLE file)
{
    if (writer.filled == 0) {
        return true;
    }
    if (!QueuePiece(writer, {file, FillingBuffer(writer), writer.filled, true})) {
        return false;
    }
    writer.fillingBuffer = (writer.fillingBuffer + 1) % BUFFER_COUNT;
    writer.filled = 0;
    // Buffers are written in the order they were queued, so the next one is free once fewer than all are queued.
    AcquireSRWLockExclusive(&writer.lock);
    while (writer.buffersQueued == BUFFER_COUNT) {
        SleepConditionVariableSRW(&writer.changed, &writer.lock, INFINITE, 0);
    }
    const bool ok = !writer.failed;
    ReleaseSRWLockExclusive(&writer.lock);
    return ok;
}

bool LiesInImage(const ZipWriter& writer, const char* bytes, size_t length)
{
    // Compared as addresses: the pieces of inflated data lie in another allocation than the image.
    const uintptr_t begin = reinterpret_cast<uintptr_t>(writer.imageBegin);
    const uintptr_t at = reinterpret_cast<uintptr_t>(bytes);
    return at >= begin && at - begin <= writer.imageSize && length <= writer.imageSize - (at - begin);
}

bool GatherForWriter(ZipWriter& writer, HANDLE file, const char* bytes, size_t length)
{
    // A piece of the image as large as a buffer is written from where it lies: copying it would cost more than the
    // wait it saves. Smaller ones are copied, so that a small entry ends up in one buffer and one write.
    if (length >= BUFFER_BYTES && LiesInImage(writer, bytes, length)) {
        return QueueFilledBuffer(writer, file) && QueuePiece(writer, {file, bytes, length, false});
    }
    size_t taken = 0;
    while (taken < length) {
        const size_t part = std::min(length - taken, BUFFER_BYTES - writer.filled);
        std::memcpy(FillingBuffer(writer) + writer.filled, bytes + taken, part);
        writer.filled += part;
        taken += part;
        if (writer.filled == BUFFER_BYTES && !QueueFilledBuffer(writer, file)) {
            return false;
        }
    }
    return true;
}

} // namespace

void ZipWriterStopper::operator()(ZipWriter* writer) const
{
    if (writer->thread) {
        AcquireSRWLockExclusive(&writer->lock);
        writer->stopping = true;
        WakeAllConditionVariable(&writer->changed);
        ReleaseSRWLockExclusive(&writer->lock);
        WaitForSingleObject(writer->thread.get(), INFINITE);
    }
    delete writer;
}

ZipWriterHolder StartZipWriter(const void* image, size_t imageSize)
{
    ZipWriterHolder writer(new ZipWriter);
    writer->imageBegin = static_cast<const char*>(image);
    writer->imageSize = imageSize;
    writer->buffers.reset(new char[BUFFER_COUNT * BUFFER_BYTES]);
    writer->thread.reset(CreateThread(nullptr, 0, RunZipWriter, writer.get(), 0, nullptr));
    if (!writer->thread) {
        // The extracting thread then writes every piece itself, as it can without any help.
        writer.reset();
    }
    return writer;
}

size_t ZipWriteCallback(void* opaque, uint64_t, const void* data, size_t length)
{
    // The library delivers an entry's bytes in order, so appending is enough and the offset is not needed.
    ZipWriteContext* context = static_cast<ZipWriteContext*>(opaque);
    const char* bytes = static_cast<const char*>(data);
    if (context->writer != nullptr) {
        if (!GatherForWriter(*context->writer, context->file, bytes, length)) {
            context->ok = false;
            return 0;
        }
        return length;
    }
    size_t written = 0;
    if (!WriteAll(context->file, bytes, length, written)) {
        context->ok = false;
    }
    // Any shortfall makes the library fail the entry.
    return written;
}

bool FinishZipWrites(ZipWriteContext& context)
{
    if (context.writer == nullptr) {
        return context.ok;
    }
    ZipWriter& writer = *context.writer;
    if (!writer.entryQueued) {
        // An entry that fits in one buffer is written here: handing it over would only add a wait for the thread.
        size_t written = 0;
        if (writer.filled > 0 && !WriteAll(context.file, FillingBuffer(writer), writer.filled, written)) {
            context.ok = false;
        }
    } else {
        QueueFilledBuffer(writer, context.file);
        AcquireSRWLockExclusive(&writer.lock);
        while (writer.queueCount > 0) {
            SleepConditionVariableSRW(&writer.changed, &writer.lock, INFINITE, 0);
        }
        if (writer.failed) {
            context.ok = false;
        }
        writer.failed = false;
        ReleaseSRWLockExclusive(&writer.lock);
    }
    writer.filled = 0;
    writer.entryQueued = false;
    return context.ok;
}

void ZipCreateParentDirs(const std::wstring& root, const std::wstring& entryName, std::set<std::wstring>& created)
{
    // Existing directories and names the file system refuses are both left to the open of the entry itself. A folder
    // made earlier in this extraction is not made again.
    for (size_t at = entryName.find(L'\\'); at != std::wstring::npos; at = entryName.find(L'\\', at + 1)) {
        const std::wstring folder = root + entryName.substr(0, at);
        if (created.insert(folder).second) {
            CreateDirectoryW(MakeLongPath(folder).c_str(), nullptr);
        }
    }
}
