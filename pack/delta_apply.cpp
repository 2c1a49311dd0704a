// Reading and applying a game delta. Portable C++ over zlib alone: the three streams are inflated side by side, each
// from its own byte range of the delta, through buffers of a fixed size, so the memory held does not grow with the
// game.
#include "pack/delta.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

namespace {

// The delta's bytes are read this much at a time for each stream; the new file is made this much at a time.
const size_t STREAM_INPUT_BYTES = 64 * 1024;
const size_t OUTPUT_PIECE_BYTES = 64 * 1024;

const size_t OFFSET_OLD_SIZE = 8;
const size_t OFFSET_OLD_DIGEST = 16;
const size_t OFFSET_NEW_SIZE = 48;
const size_t OFFSET_NEW_DIGEST = 56;
const size_t OFFSET_STREAM_BYTES = 88;
const size_t OFFSET_RESERVED = 112;

uint64_t ReadLe64(const unsigned char* bytes)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

void WriteLe64(uint64_t value, unsigned char* bytes)
{
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

// Two's complement, read without relying on how the compiler converts an unsigned number out of range.
int64_t ToSigned(uint64_t value)
{
    return value <= static_cast<uint64_t>(INT64_MAX) ? static_cast<int64_t>(value) : -static_cast<int64_t>(~value) - 1;
}

// One of the three streams: its byte range of the delta and the inflater over it.
struct Stream {
    z_stream z{};
    bool open = false;
    bool ended = false;
    uint64_t next = 0;
    uint64_t end = 0;
    unsigned char input[STREAM_INPUT_BYTES];
    ~Stream()
    {
        if (open) {
            inflateEnd(&z);
        }
    }
};

bool OpenStream(Stream& stream, uint64_t begin, uint64_t bytes)
{
    stream.next = begin;
    stream.end = begin + bytes;
    stream.open = inflateInit(&stream.z) == Z_OK;
    return stream.open;
}

// Inflates up to count bytes into out; fewer only where the stream ends, which must be exactly where its bytes end.
bool Inflate(Stream& stream, const DeltaIo& io, unsigned char* out, size_t count, size_t& got)
{
    got = 0;
    while (got < count && !stream.ended) {
        if (stream.z.avail_in == 0 && stream.next < stream.end) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(STREAM_INPUT_BYTES, stream.end - stream.next));
            if (!io.read(io.context, stream.next, stream.input, piece)) {
                return false;
            }
            stream.next += piece;
            stream.z.next_in = stream.input;
            stream.z.avail_in = static_cast<uInt>(piece);
        }
        const uInt room = static_cast<uInt>(std::min<size_t>(count - got, UINT_MAX));
        stream.z.next_out = out + got;
        stream.z.avail_out = room;
        const uInt before = stream.z.avail_in;
        const int result = inflate(&stream.z, Z_NO_FLUSH);
        got += room - stream.z.avail_out;
        if (result == Z_STREAM_END) {
            stream.ended = true;
            return stream.z.avail_in == 0 && stream.next == stream.end;
        }
        // Without progress the stream is cut short: its bytes ended before its end.
        if ((result != Z_OK && result != Z_BUF_ERROR) || (before == stream.z.avail_in && room == stream.z.avail_out)) {
            return false;
        }
    }
    return true;
}

// Fills exactly count bytes, or says what is wrong.
bool Take(Stream& stream, const DeltaIo& io, unsigned char* out, size_t count, const char* name, std::string& message)
{
    size_t got = 0;
    if (!Inflate(stream, io, out, count, got) || got != count) {
        message = std::string("the ") + name + " stream is damaged or ends early";
        return false;
    }
    return true;
}

// True when nothing is left of the stream.
bool Finished(Stream& stream, const DeltaIo& io)
{
    unsigned char extra = 0;
    size_t got = 0;
    return Inflate(stream, io, &extra, 1, got) && got == 0 && stream.ended;
}

} // namespace

std::string GameDeltaName(const Sha256Digest& oldDigest)
{
    static const char HEX[] = "0123456789abcdef";
    std::string name = GAME_DELTA_PREFIX;
    for (size_t i = 0; i < GAME_DELTA_NAME_HEX_DIGITS / 2; ++i) {
        name += HEX[oldDigest[i] >> 4];
        name += HEX[oldDigest[i] & 15];
    }
    return name;
}

bool IsGameDeltaName(const std::string& name)
{
    const size_t prefix = sizeof(GAME_DELTA_PREFIX) - 1;
    return name.size() == prefix + GAME_DELTA_NAME_HEX_DIGITS && name.compare(0, prefix, GAME_DELTA_PREFIX) == 0 &&
           std::all_of(name.begin() + prefix, name.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool ParseDeltaHeader(const unsigned char* bytes, uint64_t deltaSize, DeltaHeader& header, std::string& message)
{
    if (deltaSize < DELTA_HEADER_BYTES || std::memcmp(bytes, DELTA_MAGIC, 8) != 0) {
        message = "not a game delta (no \"VORDLT01\" header)";
        return false;
    }
    header.oldSize = ReadLe64(bytes + OFFSET_OLD_SIZE);
    std::copy_n(bytes + OFFSET_OLD_DIGEST, 32, header.oldDigest.begin());
    header.newSize = ReadLe64(bytes + OFFSET_NEW_SIZE);
    std::copy_n(bytes + OFFSET_NEW_DIGEST, 32, header.newDigest.begin());
    header.controlBytes = ReadLe64(bytes + OFFSET_STREAM_BYTES);
    header.differenceBytes = ReadLe64(bytes + OFFSET_STREAM_BYTES + 8);
    header.extraBytes = ReadLe64(bytes + OFFSET_STREAM_BYTES + 16);
    if (std::any_of(bytes + OFFSET_RESERVED, bytes + DELTA_HEADER_BYTES, [](unsigned char b) { return b != 0; })) {
        message = "the delta's reserved header bytes are not zero";
        return false;
    }
    // Each sum is checked against what is left, so that no stream length can wrap around.
    uint64_t left = deltaSize - DELTA_HEADER_BYTES;
    for (const uint64_t bytesOfStream : {header.controlBytes, header.differenceBytes, header.extraBytes}) {
        if (bytesOfStream > left) {
            message = "the delta's streams run past its end";
            return false;
        }
        left -= bytesOfStream;
    }
    if (left != 0) {
        message = "the delta has bytes after its extra stream";
        return false;
    }
    return true;
}

std::string FormatDeltaHeader(const DeltaHeader& header)
{
    unsigned char bytes[DELTA_HEADER_BYTES] = {};
    std::memcpy(bytes, DELTA_MAGIC, 8);
    WriteLe64(header.oldSize, bytes + OFFSET_OLD_SIZE);
    std::copy(header.oldDigest.begin(), header.oldDigest.end(), bytes + OFFSET_OLD_DIGEST);
    WriteLe64(header.newSize, bytes + OFFSET_NEW_SIZE);
    std::copy(header.newDigest.begin(), header.newDigest.end(), bytes + OFFSET_NEW_DIGEST);
    WriteLe64(header.controlBytes, bytes + OFFSET_STREAM_BYTES);
    WriteLe64(header.differenceBytes, bytes + OFFSET_STREAM_BYTES + 8);
    WriteLe64(header.extraBytes, bytes + OFFSET_STREAM_BYTES + 16);
    return std::string(reinterpret_cast<const char*>(bytes), sizeof(bytes));
}

bool ApplyDelta(const DeltaHeader& header, const unsigned char* old, const DeltaIo& io, std::string& message)
{
    // On the heap: three inflaters' input and windows would crowd a worker thread's stack.
    std::unique_ptr<Stream> control(new Stream);
    std::unique_ptr<Stream> difference(new Stream);
    std::unique_ptr<Stream> extra(new Stream);
    const uint64_t differenceStart = DELTA_HEADER_BYTES + header.controlBytes;
    if (!OpenStream(*control, DELTA_HEADER_BYTES, header.controlBytes) ||
        !OpenStream(*difference, differenceStart, header.differenceBytes) ||
        !OpenStream(*extra, differenceStart + header.differenceBytes, header.extraBytes)) {
        message = "cannot start inflating the delta";
        return false;
    }
    std::unique_ptr<unsigned char[]> piece(new unsigned char[OUTPUT_PIECE_BYTES]);
    int64_t oldPosition = 0;
    uint64_t newPosition = 0;
    for (;;) {
        unsigned char record[DELTA_RECORD_BYTES];
        size_t got = 0;
        if (!Inflate(*control, io, record, sizeof(record), got) || (got != 0 && got != sizeof(record))) {
            message = "the control stream is damaged or ends inside a record";
            return false;
        }
        if (got == 0) {
            break;
        }
        const uint64_t add = ReadLe64(record);
        const uint64_t copy = ReadLe64(record + 8);
        const int64_t seek = ToSigned(ReadLe64(record + 16));
        if (add > header.newSize - newPosition || copy > header.newSize - newPosition - add) {
            message = "a control record writes past the new file's size";
            return false;
        }
        if (add > 0 && (oldPosition < 0 || static_cast<uint64_t>(oldPosition) > header.oldSize ||
                        add > header.oldSize - static_cast<uint64_t>(oldPosition))) {
            message = "a control record reads outside the old file";
            return false;
        }
        for (uint64_t done = 0; done < add;) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(OUTPUT_PIECE_BYTES, add - done));
            if (!Take(*difference, io, piece.get(), count, "difference", message)) {
                return false;
            }
            const unsigned char* from = old + oldPosition + done;
            for (size_t i = 0; i < count; ++i) {
                piece[i] = static_cast<unsigned char>(piece[i] + from[i]);
            }
            if (!io.write(io.context, piece.get(), count)) {
                message = "cannot write the new file";
                return false;
            }
            done += count;
        }
        oldPosition += static_cast<int64_t>(add);
        for (uint64_t done = 0; done < copy;) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(OUTPUT_PIECE_BYTES, copy - done));
            if (!Take(*extra, io, piece.get(), count, "extra", message)) {
                return false;
            }
            if (!io.write(io.context, piece.get(), count)) {
                message = "cannot write the new file";
                return false;
            }
            done += count;
        }
        newPosition += add + copy;
        if ((seek > 0 && oldPosition > INT64_MAX - seek) || (seek < 0 && oldPosition < INT64_MIN - seek)) {
            message = "a control record seeks beyond any file";
            return false;
        }
        oldPosition += seek;
    }
    if (newPosition != header.newSize) {
        message = "the control stream ends before the new file does";
        return false;
    }
    if (!Finished(*difference, io) || !Finished(*extra, io)) {
        message = "the difference or extra stream holds more than the control stream uses, or is damaged";
        return false;
    }
    return true;
}
