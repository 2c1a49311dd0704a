// "game.exe.gz" back into the game: the gzip members inflated through one input and one output block.
#include "update/game/game_forms.h"

#include <zlib.h>

#include <memory>
#include <new>

namespace {

const DWORD GZIP_INPUT_BYTES = 64 * 1024;
// zlib's window bits with 16 added: a gzip wrapper (RFC 1952), and only that.
const int GZIP_WINDOW_BITS = 16 + MAX_WBITS;

struct InflateEnder {
    void operator()(z_stream* stream) const
    {
        inflateEnd(stream);
        delete stream;
    }
};

bool InflateOpened(HANDLE gzip, const std::wstring& newPath, const Sha256Digest& newDigest)
{
    std::unique_ptr<z_stream> made(new z_stream());
    if (inflateInit2(made.get(), GZIP_WINDOW_BITS) != Z_OK) {
        return false;
    }
    const std::unique_ptr<z_stream, InflateEnder> stream(made.release());
    const std::unique_ptr<unsigned char[]> input(new unsigned char[GZIP_INPUT_BYTES]);
    GameOutput game;
    if (!CreateGameOutput(newPath, game)) {
        return false;
    }
    // gzip -d reads members back to back; a file that ends inside one, or holds anything else after them, is damaged.
    bool inMember = true;
    bool fileEnded = false;
    for (;;) {
        if (stream->avail_in == 0 && !fileEnded) {
            DWORD read = 0;
            if (!ReadFile(gzip, input.get(), GZIP_INPUT_BYTES, &read, nullptr)) {
                return false;
            }
            fileEnded = read == 0;
            stream->next_in = input.get();
            stream->avail_in = read;
        }
        if (!inMember) {
            if (stream->avail_in == 0) {
                break;
            }
            inflateReset(stream.get());
            inMember = true;
        }
        size_t room = 0;
        stream->next_out = GameOutputRoom(game, room);
        stream->avail_out = static_cast<uInt>(room);
        // Without input zlib may still hand out what it holds; Z_BUF_ERROR then means the file ended inside a member.
        const int result = inflate(stream.get(), Z_NO_FLUSH);
        if ((result != Z_OK && result != Z_STREAM_END) || !CommitGameOutput(game, room - stream->avail_out)) {
            return false;
        }
        inMember = result != Z_STREAM_END;
    }
    return !inMember && FinishGameOutput(game, newDigest);
}

} // namespace

bool InflateGameGzip(const std::wstring& gzipPath, const std::wstring& newPath, const Sha256Digest& newDigest)
{
    try {
        const HANDLE opened = CreateFileW(MakeLongPath(gzipPath).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (opened == INVALID_HANDLE_VALUE) {
            return false;
        }
        const KernelHandle gzip(opened);
        return InflateOpened(gzip.get(), newPath, newDigest);
    } catch (const std::bad_alloc&) {
        return false;
    }
}
