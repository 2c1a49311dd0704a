// Applying a game delta: the installed game mapped read-only, the three streams inflated side by side, each from its
// own byte range of the delta file, and the new game written and hashed block by block as the records build it.
#include "update/game/game_forms.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace {

const char DELTA_MAGIC[] = "VORDLT01";
const size_t DELTA_HEADER_BYTES = 144;
const size_t DELTA_RESERVED_OFFSET = 112;
const size_t CONTROL_RECORD_BYTES = 24;
const int STREAM_COUNT = 3;
const int CONTROL_STREAM = 0;
const int DIFFERENCE_STREAM = 1;
const int EXTRA_STREAM = 2;
// Each stream reads its compressed bytes in blocks of the first size and inflates up to the second at a time.
const DWORD STREAM_INPUT_BYTES = 64 * 1024;
const size_t STREAM_OUTPUT_BYTES = 256 * 1024;

uint64_t ReadLe64(const unsigned char* at)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | at[i];
    }
    return value;
}

bool ReadAt(HANDLE file, uint64_t offset, unsigned char* buffer, DWORD size)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    return ReadFile(file, buffer, size, &read, &at) && read == size;
}

struct DeltaHeader {
    uint64_t oldSize = 0;
    Sha256Digest oldDigest{};
    uint64_t newSize = 0;
    Sha256Digest newDigest{};
    uint64_t streamBytes[STREAM_COUNT] = {};
};

// The header of a delta file of fileSize bytes; false when it is not one: another magic, reserved bytes that are not
// zero, or streams that do not end exactly where the file does.
bool ReadDeltaHeader(HANDLE file, uint64_t fileSize, DeltaHeader& header)
{
    unsigned char bytes[DELTA_HEADER_BYTES] = {};
    if (fileSize < DELTA_HEADER_BYTES || !ReadAt(file, 0, bytes, DELTA_HEADER_BYTES) ||
        std::memcmp(bytes, DELTA_MAGIC, 8) != 0) {
        return false;
    }
    header.oldSize = ReadLe64(bytes + 8);
    std::copy(bytes + 16, bytes + 48, header.oldDigest.begin());
    header.newSize = ReadLe64(bytes + 48);
    std::copy(bytes + 56, bytes + 88, header.newDigest.begin());
    uint64_t left = fileSize - DELTA_HEADER_BYTES;
    for (int i = 0; i < STREAM_COUNT; ++i) {
        header.streamBytes[i] = ReadLe64(bytes + 88 + 8 * i);
        if (header.streamBytes[i] > left) {
            return false;
        }
        left -= header.streamBytes[i];
    }
    return left == 0 && std::all_of(bytes + DELTA_RESERVED_OFFSET, bytes + DELTA_HEADER_BYTES,
                                    [](unsigned char byte) { return byte == 0; });
}

// One of the delta's zlib streams, inflated from its own byte range of the file into its output buffer.
struct DeltaStream {
    HANDLE file = nullptr;
    uint64_t next = 0; // the file offset of the next compressed byte to read
    uint64_t left = 0; // compressed bytes not yet read
    z_stream zlib = {};
    bool started = false; // zlib holds state
    bool ended = false;   // the stream's end was inflated
    bool damaged = false; // malformed, cut short, or unreadable
    std::unique_ptr<unsigned char[]> input{new unsigned char[STREAM_INPUT_BYTES]};
    std::unique_ptr<unsigned char[]> output{new unsigned char[STREAM_OUTPUT_BYTES]};
    size_t at = 0;  // the next output byte to take
    size_t end = 0; // output bytes inflated
};

struct DeltaStreamEnder {
    void operator()(DeltaStream* stream) const
    {
        if (stream->started) {
            inflateEnd(&stream->zlib);
        }
        delete stream;
    }
};
// zlib's state points back at its z_stream, so each stream stays where it was made.
using DeltaStreamHolder = std::unique_ptr<DeltaStream, DeltaStreamEnder>;

// Inflates the stream's next bytes into its emptied output buffer; false when none came: the stream has ended, or
// it is damaged (damaged set).
bool FillStream(DeltaStream& stream)
{
    stream.at = 0;
    stream.zlib.next_out = stream.output.get();
    stream.zlib.avail_out = static_cast<uInt>(STREAM_OUTPUT_BYTES);
    while (!stream.ended && !stream.damaged && stream.zlib.avail_out > 0) {
        if (stream.zlib.avail_in == 0 && stream.left > 0) {
            const DWORD piece = static_cast<DWORD>(std::min<uint64_t>(stream.left, STREAM_INPUT_BYTES));
            if (!ReadAt(stream.file, stream.next, stream.input.get(), piece)) {
                stream.damaged = true;
                break;
            }
            stream.next += piece;
            stream.left -= piece;
            stream.zlib.next_in = stream.input.get();
            stream.zlib.avail_in = piece;
        }
        // Without input zlib may still hand out what it holds; when it cannot get on (Z_BUF_ERROR) the range ended
        // before the stream did. Anything else but Z_OK is malformed data, or no memory.
        const int result = inflate(&stream.zlib, Z_NO_FLUSH);
        stream.ended = result == Z_STREAM_END;
        stream.damaged = result != Z_OK && result != Z_STREAM_END;
    }
    stream.end = STREAM_OUTPUT_BYTES - stream.zlib.avail_out;
    return stream.end > 0;
}

// Points bytes at up to want next bytes of the stream; how many there are, 0 when the stream has no more.
size_t TakeFromStream(DeltaStream& stream, size_t want, const unsigned char*& bytes)
{
    if (stream.at == stream.end && !FillStream(stream)) {
        return 0;
    }
    const size_t taken = std::min(want, stream.end - stream.at);
    bytes = stream.output.get() + stream.at;
    stream.at += taken;
    return taken;
}

// A stream is consumed exactly when every byte it inflates was taken, its end was reached, and no compressed byte of
// its range follows that end.
bool ConsumedExactly(DeltaStream& stream)
{
    if (stream.at != stream.end || (!stream.ended && FillStream(stream))) {
        return false;
    }
    return stream.ended && !stream.damaged && stream.zlib.avail_in == 0 && stream.left == 0;
}

// The installed game, mapped read-only; released in reverse order.
struct ViewUnmapper {
    void operator()(const unsigned char* view) const { UnmapViewOfFile(view); }
};
struct OldGame {
    KernelHandle file;
    KernelHandle mapping;
    std::unique_ptr<const unsigned char, ViewUnmapper> view;
    uint64_t size = 0;
};

// Maps the installed game when it has the size the delta names; an empty game needs no view.
bool MapOldGame(const std::wstring& path, uint64_t size, OldGame& old)
{
    const HANDLE file = CreateFileW(MakeLongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    old.file.reset(file);
    LARGE_INTEGER actual = {};
    if (!GetFileSizeEx(file, &actual) || static_cast<uint64_t>(actual.QuadPart) != size) {
        return false;
    }
    old.size = size;
    if (size == 0) {
        return true;
    }
    old.mapping.reset(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!old.mapping) {
        return false;
    }
    old.view.reset(static_cast<const unsigned char*>(MapViewOfFile(old.mapping.get(), FILE_MAP_READ, 0, 0, 0)));
    return old.view != nullptr;
}

// The new game as the records build it.
struct NewGame {
    GameOutput output;
    uint64_t size = 0; // built so far
};

// add bytes: each the old game's byte at oldPosition plus the difference stream's next byte, modulo 256.
bool AddFromOld(NewGame& game, const OldGame& old, uint64_t oldPosition, uint64_t add, DeltaStream& difference)
{
    while (add > 0) {
        size_t room = 0;
        unsigned char* to = GameOutputRoom(game.output, room);
        const unsigned char* diff = nullptr;
        const size_t count = TakeFromStream(difference, std::min<uint64_t>(add, room), diff);
        if (count == 0) {
            return false;
        }
        const unsigned char* from = old.view.get() + oldPosition;
        for (size_t i = 0; i < count; ++i) {
            to[i] = static_cast<unsigned char>(from[i] + diff[i]);
        }
        if (!CommitGameOutput(game.output, count)) {
            return false;
        }
        oldPosition += count;
        add -= count;
    }
    return true;
}

// copy bytes taken as they are from the extra stream.
bool CopyFromExtra(NewGame& game, uint64_t copy, DeltaStream& extra)
{
    while (copy > 0) {
        size_t room = 0;
        unsigned char* to = GameOutputRoom(game.output, room);
        const unsigned char* bytes = nullptr;
        const size_t count = TakeFromStream(extra, std::min<uint64_t>(copy, room), bytes);
        if (count == 0) {
            return false;
        }
        std::memcpy(to, bytes, count);
        if (!CommitGameOutput(game.output, count)) {
            return false;
        }
        copy -= count;
    }
    return true;
}

// Reads the next control record; false at the stream's end (ended set) or when it is damaged.
bool NextRecord(DeltaStream& control, uint64_t& add, uint64_t& copy, int64_t& seek, bool& ended)
{
    unsigned char record[CONTROL_RECORD_BYTES] = {};
    size_t have = 0;
    while (have < CONTROL_RECORD_BYTES) {
        const unsigned char* bytes = nullptr;
        const size_t count = TakeFromStream(control, CONTROL_RECORD_BYTES - have, bytes);
        if (count == 0) {
            ended = have == 0 && !control.damaged;
            return false;
        }
        std::memcpy(record + have, bytes, count);
        have += count;
    }
    add = ReadLe64(record);
    copy = ReadLe64(record + 8);
    seek = static_cast<int64_t>(ReadLe64(record + 16));
    return true;
}

// Runs every record: each read of the old game inside it, the new game never past its size.
bool RunRecords(const DeltaHeader& header, const OldGame& old, DeltaStream* const streams[], NewGame& game)
{
    int64_t oldPosition = 0;
    uint64_t add = 0;
    uint64_t copy = 0;
    int64_t seek = 0;
    bool ended = false;
    while (NextRecord(*streams[CONTROL_STREAM], add, copy, seek, ended)) {
        if (add > header.newSize - game.size ||
            (add > 0 && (oldPosition < 0 || add > old.size || static_cast<uint64_t>(oldPosition) > old.size - add))) {
            return false;
        }
        if (!AddFromOld(game, old, static_cast<uint64_t>(oldPosition), add, *streams[DIFFERENCE_STREAM])) {
            return false;
        }
        game.size += add;
        oldPosition += static_cast<int64_t>(add);
        if (copy > header.newSize - game.size || !CopyFromExtra(game, copy, *streams[EXTRA_STREAM])) {
            return false;
        }
        game.size += copy;
        if ((seek > 0 && oldPosition > INT64_MAX - seek) || (seek < 0 && oldPosition < INT64_MIN - seek)) {
            return false;
        }
        oldPosition += seek;
    }
    return ended && game.size == header.newSize;
}

bool ApplyOpenedDelta(HANDLE delta, const std::wstring& oldPath, const Sha256Digest& oldDigest,
                      const Sha256Digest& newDigest, const std::wstring& newPath)
{
    LARGE_INTEGER deltaSize = {};
    DeltaHeader header;
    if (!GetFileSizeEx(delta, &deltaSize) ||
        !ReadDeltaHeader(delta, static_cast<uint64_t>(deltaSize.QuadPart), header) || header.oldDigest != oldDigest ||
        header.newDigest != newDigest || header.newSize > FILE_MAX_BYTES) {
        return false;
    }
    OldGame old;
    if (!MapOldGame(oldPath, header.oldSize, old)) {
        return false;
    }
    DeltaStreamHolder holders[STREAM_COUNT];
    DeltaStream* streams[STREAM_COUNT] = {};
    uint64_t offset = DELTA_HEADER_BYTES;
    for (int i = 0; i < STREAM_COUNT; ++i) {
        holders[i].reset(new DeltaStream);
        streams[i] = holders[i].get();
        streams[i]->file = delta;
        streams[i]->next = offset;
        streams[i]->left = header.streamBytes[i];
        offset += header.streamBytes[i];
        if (inflateInit(&streams[i]->zlib) != Z_OK) {
            return false;
        }
        streams[i]->started = true;
    }
    NewGame game;
    if (!CreateGameOutput(newPath, game.output) || !RunRecords(header, old, streams, game)) {
        return false;
    }
    for (DeltaStream* stream : streams) {
        if (!ConsumedExactly(*stream)) {
            return false;
        }
    }
    return FinishGameOutput(game.output, newDigest);
}

} // namespace

bool ApplyGameDelta(const std::wstring& deltaPath, const std::wstring& oldPath, const Sha256Digest& oldDigest,
                    const Sha256Digest& newDigest, const std::wstring& newPath)
{
    try {
        const HANDLE opened = CreateFileW(MakeLongPath(deltaPath).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (opened == INVALID_HANDLE_VALUE) {
            return false;
        }
        const KernelHandle delta(opened);
        return ApplyOpenedDelta(delta.get(), oldPath, oldDigest, newDigest, newPath);
    } catch (const std::bad_alloc&) {
        return false;
    }
}
