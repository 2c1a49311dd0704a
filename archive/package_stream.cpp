// One entry of a package read by ranges, unpacked while its span arrives: its local header checked as the zip
// library's extraction checks it, then its data copied or inflated piece by piece into the caller's output, with the
// library's size and CRC-32 checks and texts. What is held is the header's fixed part, zlib's state and one output
// piece, whatever the entry's size or what its records claim.
#include "archive/archive.h"

#include "archive/zipreader/zip_reader_internal.h"

#include <zlib.h>

#include <algorithm>
#include <new>

using namespace zipreader;

namespace {

// Inflated bytes go out in pieces of at most this size.
const size_t OUTPUT_PIECE_BYTES = 65536;
// zlib counts input in 32 bits: a larger piece is passed in slices.
const size_t INPUT_SLICE_BYTES = 1u << 30;

} // namespace

struct EntryStreamState {
    RangedEntry entry;
    uint64_t spanSize = 0;
    EntryOutput output;
    mz_zip_error error = MZ_ZIP_NO_ERROR;
    bool ended = false;
    unsigned char header[LOCAL_HEADER_SIZE_BYTES] = {};
    uint64_t taken = 0;      // span bytes taken
    uint64_t dataOffset = 0; // where the data starts in the span; 0 until the header's fixed part is read
    uint64_t produced = 0;   // unpacked bytes handed out
    uLong crc = 0;
    bool inflating = false; // stream holds zlib's state
    z_stream stream = {};
    std::unique_ptr<unsigned char[]> piece;
};

void EntryStreamEnder::operator()(EntryStreamState* state) const
{
    if (state->inflating) {
        inflateEnd(&state->stream);
    }
    delete state;
}

namespace {

mz_zip_error Stop(EntryStreamState& state, mz_zip_error error)
{
    state.error = error;
    state.ended = true;
    return error;
}

// Hands out unpacked bytes. A stored entry's data cannot pass its claimed size (the directory refuses stored sizes
// that differ), and an inflated piece never holds more than one byte past it, which is refused before it is handed
// out: the library would hand it out and then fail the entry with the same code.
mz_zip_error HandOut(EntryStreamState& state, const unsigned char* bytes, size_t size, mz_zip_error pastClaim)
{
    if (size > state.entry.uncompressedSize - state.produced) {
        return Stop(state, pastClaim);
    }
    if (size > 0 && !state.output(bytes, size)) {
        return Stop(state, MZ_ZIP_WRITE_CALLBACK_FAILED);
    }
    state.crc = crc32(state.crc, bytes, static_cast<uInt>(size));
    state.produced += size;
    return MZ_ZIP_NO_ERROR;
}

// Inflates the data bytes [bytes, bytes + size); the last of the entry's compressed bytes when last is set. Sets used
// to what zlib took.
mz_zip_error Inflate(EntryStreamState& state, const unsigned char* bytes, size_t size, bool last, size_t& used)
{
    z_stream& stream = state.stream;
    stream.next_in = const_cast<Bytef*>(bytes);
    stream.avail_in = static_cast<uInt>(size);
    mz_zip_error error = MZ_ZIP_NO_ERROR;
    for (;;) {
        const uint64_t room = state.entry.uncompressedSize - state.produced;
        const size_t space = room >= OUTPUT_PIECE_BYTES ? OUTPUT_PIECE_BYTES : static_cast<size_t>(room) + 1;
        stream.next_out = state.piece.get();
        stream.avail_out = static_cast<uInt>(space);
        const int result = inflate(&stream, Z_NO_FLUSH);
        if (result == Z_MEM_ERROR) {
            throw std::bad_alloc();
        }
        // What zlib wrote before it stopped was really decoded, even on an error, so it is handed out.
        error = HandOut(state, state.piece.get(), space - stream.avail_out, MZ_ZIP_DECOMPRESSION_FAILED);
        if (error != MZ_ZIP_NO_ERROR) {
            break;
        }
        if (result == Z_STREAM_END) {
            state.ended = true;
            break;
        }
        // Without input zlib can do no more (Z_BUF_ERROR, or Z_OK with nothing left): the next piece brings more,
        // unless these were the entry's last bytes, which the next call shows.
        if ((result == Z_OK || result == Z_BUF_ERROR) && stream.avail_in == 0 && !last) {
            break;
        }
        if (result == Z_OK) {
            continue;
        }
        // Malformed data, or the entry's data ended before its stream did (Z_BUF_ERROR after its last bytes).
        error = Stop(state, MZ_ZIP_DECOMPRESSION_FAILED);
        break;
    }
    used = size - stream.avail_in;
    return error;
}

// Takes what the entry needs of [bytes, bytes + size), setting used.
mz_zip_error Take(EntryStreamState& state, const unsigned char* bytes, size_t size, size_t& used)
{
    used = 0;
    if (state.taken < LOCAL_HEADER_SIZE_BYTES) {
        const size_t part = static_cast<size_t>(std::min<uint64_t>(size, LOCAL_HEADER_SIZE_BYTES - state.taken));
        std::copy(bytes, bytes + part, state.header + state.taken);
        state.taken += part;
        used = part;
        if (state.taken < LOCAL_HEADER_SIZE_BYTES) {
            return MZ_ZIP_NO_ERROR;
        }
        // Only the local name and extra lengths are read: sizes, CRC and the data-descriptor bit are the central
        // record's, as in the library's extraction.
        if (ReadLe32(state.header) != LOCAL_HEADER_SIGNATURE) {
            return Stop(state, MZ_ZIP_INVALID_HEADER_OR_CORRUPTED);
        }
        state.dataOffset = LOCAL_HEADER_SIZE_BYTES + ReadLe16(state.header + 26) + ReadLe16(state.header + 28);
        if (state.dataOffset > state.spanSize || state.entry.compressedSize > state.spanSize - state.dataOffset) {
            return Stop(state, MZ_ZIP_INVALID_HEADER_OR_CORRUPTED);
        }
    }
    // The local name and extra field are passed over.
    const uint64_t skipped =
        std::min<uint64_t>(size - used, state.dataOffset - std::min(state.taken, state.dataOffset));
    state.taken += skipped;
    used += static_cast<size_t>(skipped);
    while (state.taken >= state.dataOffset && used < size && !state.ended) {
        const uint64_t left = state.entry.compressedSize - (state.taken - state.dataOffset);
        const size_t part = static_cast<size_t>(std::min<uint64_t>({size - used, left, INPUT_SLICE_BYTES}));
        size_t taken = part;
        mz_zip_error error = MZ_ZIP_NO_ERROR;
        if (state.entry.method == 0) {
            error = HandOut(state, bytes + used, part, MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE);
            state.ended = part == left;
        } else {
            error = Inflate(state, bytes + used, part, part == left, taken);
        }
        state.taken += taken;
        used += taken;
        if (error != MZ_ZIP_NO_ERROR) {
            return error;
        }
    }
    return MZ_ZIP_NO_ERROR;
}

bool Refuse(const RangedEntry& entry, mz_zip_error error, std::string& reason)
{
    reason = "failed extracting " + WideToUtf8(entry.path) + ": " + mz_zip_get_error_string(error);
    return false;
}

} // namespace

EntryStream StartEntryStream(const RangedEntry& entry, uint64_t spanSize, const EntryOutput& output)
{
    EntryStream stream(new EntryStreamState);
    EntryStreamState& state = *stream;
    state.entry = entry;
    state.spanSize = spanSize;
    state.output = output;
    state.crc = crc32(0, nullptr, 0);
    // An empty entry is handed out without a look at its local header.
    if (entry.compressedSize == 0) {
        state.ended = true;
    } else if (entry.method != 0 && entry.method != MZ_DEFLATED) {
        Stop(state, MZ_ZIP_UNSUPPORTED_METHOD);
    } else if (spanSize < LOCAL_HEADER_SIZE_BYTES) {
        Stop(state, MZ_ZIP_FILE_READ_FAILED);
    } else if (entry.method == MZ_DEFLATED) {
        state.piece.reset(new unsigned char[OUTPUT_PIECE_BYTES]);
        const int result = inflateInit2(&state.stream, -MAX_WBITS);
        if (result == Z_MEM_ERROR) {
            throw std::bad_alloc();
        }
        state.inflating = result == Z_OK;
        if (!state.inflating) {
            Stop(state, MZ_ZIP_INTERNAL_ERROR);
        }
    }
    return stream;
}

bool FeedEntryStream(EntryStreamState& stream, const uint8_t* bytes, size_t size, size_t& used, std::string& reason)
{
    used = 0;
    if (stream.error == MZ_ZIP_NO_ERROR && !stream.ended && Take(stream, bytes, size, used) == MZ_ZIP_NO_ERROR) {
        return true;
    }
    return stream.error == MZ_ZIP_NO_ERROR || Refuse(stream.entry, stream.error, reason);
}

bool EntryStreamEnded(const EntryStreamState& stream)
{
    return stream.ended;
}

bool FinishEntryStream(const EntryStreamState& stream, std::string& reason)
{
    const RangedEntry& entry = stream.entry;
    if (stream.error != MZ_ZIP_NO_ERROR) {
        return Refuse(entry, stream.error, reason);
    }
    // An empty entry is handed out as it is, whatever its record claims.
    if (entry.compressedSize == 0) {
        return true;
    }
    // The span's bytes ran out first: the library's bounds check would have refused what is missing.
    if (!stream.ended) {
        return Refuse(entry, MZ_ZIP_FILE_READ_FAILED, reason);
    }
    if (stream.produced != entry.uncompressedSize) {
        return Refuse(entry, MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE, reason);
    }
    // A wrong CRC-32 is reported as corrupt data, not with the separate CRC code.
    return stream.crc == entry.crc32 || Refuse(entry, MZ_ZIP_DECOMPRESSION_FAILED, reason);
}
