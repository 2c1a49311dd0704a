// The forms of game.exe beside the release's list: game.exe.gz for every player, and a delta for the players of
// each recent release. Each form is checked by undoing it before the list may vouch for it.
#include "pack/pack.h"

#include "pack/delta.h"
#include "pack/manifest.h"
#include "update/checksum_list.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>

namespace {

const size_t DEFLATE_PIECE_BYTES = 1 << 20;
// As gzip writes on Unix, so that the native and the Windows tool write the same bytes.
const int GZIP_SYSTEM_UNIX = 3;
// gzip's own memory level; zlib's level 9 then comes within a fraction of a percent of `gzip -9`.
const int GZIP_MEMORY_LEVEL = 8;

// The delta and the new file in memory, for ApplyDelta.
struct MemoryDelta {
    const std::string* delta;
    std::string* result;
};

bool ReadMemory(void* context, uint64_t offset, unsigned char* bytes, size_t count)
{
    const std::string& delta = *static_cast<MemoryDelta*>(context)->delta;
    if (offset > delta.size() || count > delta.size() - offset) {
        return false;
    }
    std::memcpy(bytes, delta.data() + offset, count);
    return true;
}

bool AppendMemory(void* context, const unsigned char* bytes, size_t count)
{
    static_cast<MemoryDelta*>(context)->result->append(reinterpret_cast<const char*>(bytes), count);
    return true;
}

const unsigned char* Bytes(const std::string& text)
{
    return reinterpret_cast<const unsigned char*>(text.data());
}

// Applies a whole delta to a whole old game: the new game, after the checks the updater makes.
bool ApplyInMemory(const std::string& old, const std::string& delta, std::string& result, std::string& message)
{
    DeltaHeader header;
    if (!ParseDeltaHeader(Bytes(delta), delta.size(), header, message)) {
        return false;
    }
    if (header.oldSize != old.size() || header.oldDigest != Sha256Of(Bytes(old), old.size())) {
        message = "it is not the game this delta is from (the delta is from " + std::to_string(header.oldSize) +
                  " bytes with the SHA-256 " + FormatDigestHex(header.oldDigest) + ")";
        return false;
    }
    MemoryDelta memory{&delta, &result};
    if (!ApplyDelta(header, Bytes(old), DeltaIo{&memory, ReadMemory, AppendMemory}, message)) {
        message = "the delta is damaged: " + message;
        return false;
    }
    if (Sha256Of(Bytes(result), result.size()) != header.newDigest) {
        message = "the delta is damaged: what it makes has another SHA-256 than its header states";
        return false;
    }
    return true;
}

std::string Share(uint64_t part, uint64_t whole)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f", whole == 0 ? 0.0 : static_cast<double>(part) / whole);
    return text;
}

} // namespace

std::string DeflateBytes(const std::string& bytes, int windowBits, int memoryLevel)
{
    z_stream z{};
    gz_header header{};
    header.os = GZIP_SYSTEM_UNIX;
    if (deflateInit2(&z, 9, Z_DEFLATED, windowBits, memoryLevel, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::bad_alloc();
    }
    if (windowBits > MAX_WBITS) {
        deflateSetHeader(&z, &header);
    }
    std::string out;
    size_t given = 0;
    int result = Z_OK;
    z.next_in = const_cast<unsigned char*>(Bytes(bytes));
    while (result != Z_STREAM_END) {
        if (z.avail_in == 0 && given < bytes.size()) {
            // zlib counts in 32 bits on Windows; larger inputs go in pieces.
            const size_t piece = std::min<size_t>(bytes.size() - given, 1u << 30);
            z.avail_in = static_cast<uInt>(piece);
            given += piece;
        }
        const size_t before = out.size();
        out.resize(before + DEFLATE_PIECE_BYTES);
        z.next_out = reinterpret_cast<unsigned char*>(&out[before]);
        z.avail_out = static_cast<uInt>(DEFLATE_PIECE_BYTES);
        result = deflate(&z, given == bytes.size() ? Z_FINISH : Z_NO_FLUSH);
        out.resize(before + DEFLATE_PIECE_BYTES - z.avail_out);
        if (result == Z_STREAM_ERROR) {
            deflateEnd(&z);
            throw std::bad_alloc();
        }
    }
    deflateEnd(&z);
    return out;
}

bool GunzipBytes(const std::string& gz, uint64_t limit, std::string& bytes)
{
    z_stream z{};
    if (inflateInit2(&z, MAX_WBITS + 16) != Z_OK) {
        return false;
    }
    bytes.clear();
    size_t given = 0;
    int result = Z_OK;
    std::string piece(DEFLATE_PIECE_BYTES, '\0');
    while (result == Z_OK) {
        if (z.avail_in == 0 && given < gz.size()) {
            const size_t count = std::min<size_t>(gz.size() - given, 1u << 30);
            z.next_in = const_cast<unsigned char*>(Bytes(gz)) + given;
            z.avail_in = static_cast<uInt>(count);
            given += count;
        }
        z.next_out = reinterpret_cast<unsigned char*>(&piece[0]);
        z.avail_out = static_cast<uInt>(piece.size());
        result = inflate(&z, Z_NO_FLUSH);
        bytes.append(piece, 0, piece.size() - z.avail_out);
        if (bytes.size() > limit) {
            result = Z_DATA_ERROR;
        }
    }
    // One member that ends exactly where the file does: gzip -d would warn about anything after it.
    const bool whole = result == Z_STREAM_END && z.avail_in == 0 && given == gz.size();
    inflateEnd(&z);
    return whole;
}

bool MakeGameForms(const std::filesystem::path& game, const std::vector<std::filesystem::path>& oldGames,
                   std::vector<GameForm>& forms, std::string& message)
{
    std::string now;
    if (!ReadWholeFile(game, UINT64_MAX, now)) {
        message = "cannot read " + PathToUtf8(game);
        return false;
    }
    const Sha256Digest nowDigest = Sha256Of(Bytes(now), now.size());
    GameForm gz{GAME_GZ_NAME, DeflateBytes(now, MAX_WBITS + 16, GZIP_MEMORY_LEVEL), {}, std::filesystem::path()};
    std::string back;
    if (!GunzipBytes(gz.bytes, now.size(), back) || back != now) {
        message = "zlib's gzip of " + PathToUtf8(game) + " does not give it back";
        return false;
    }
    gz.digest = Sha256Of(Bytes(gz.bytes), gz.bytes.size());
    forms.push_back(std::move(gz));
    for (const std::filesystem::path& path : oldGames) {
        std::string old;
        if (!ReadWholeFile(path, UINT64_MAX, old)) {
            message = "cannot read " + PathToUtf8(path);
            return false;
        }
        const Sha256Digest oldDigest = Sha256Of(Bytes(old), old.size());
        GameForm delta{GameDeltaName(oldDigest), std::string(), {}, path};
        if (oldDigest == nowDigest) {
            message = "--from " + PathToUtf8(path) + " is this release's game itself: its players fetch no game";
            return false;
        }
        for (const GameForm& made : forms) {
            if (made.name == delta.name) {
                message = "--from " + PathToUtf8(path) + " is the same game as --from " + PathToUtf8(made.from);
                return false;
            }
        }
        std::string result;
#ifdef _WIN32
        message = "deltas are made by the native tool only (scripts/pack)";
        return false;
#else
        if (!MakeDelta(old, now, delta.bytes, message) || !ApplyInMemory(old, delta.bytes, result, message) ||
            result != now) {
            message = "the delta from " + PathToUtf8(path) + " does not give " + PathToUtf8(game) + ": " + message;
            return false;
        }
        delta.digest = Sha256Of(Bytes(delta.bytes), delta.bytes.size());
        forms.push_back(std::move(delta));
#endif
    }
    for (const GameForm& form : forms) {
        std::printf("%s: %zu bytes, %s of game.exe%s%s\n", form.name.c_str(), form.bytes.size(),
                    Share(form.bytes.size(), now.size()).c_str(), form.from.empty() ? "" : ", for players of ",
                    PathToUtf8(form.from).c_str());
        if (!form.from.empty() && form.bytes.size() >= forms.front().bytes.size()) {
            std::printf("warning: %s is not smaller than %s: its players would fetch less without it\n",
                        form.name.c_str(), GAME_GZ_NAME);
        }
    }
    return true;
}

std::string GameFormProblem(const std::string& name, const std::filesystem::path& path, const Sha256Digest& game)
{
    std::string bytes;
    if (name == GAME_GZ_NAME) {
        std::string unpacked;
        if (!ReadWholeFile(path, UINT64_MAX, bytes) || !GunzipBytes(bytes, UINT64_MAX, unpacked) ||
            Sha256Of(Bytes(unpacked), unpacked.size()) != game) {
            return "does not unpack to the listed game.exe (players would fetch it and then game.exe too)";
        }
    } else if (IsGameDeltaName(name)) {
        std::ifstream in(path, std::ios::binary);
        std::error_code error;
        const uintmax_t size = std::filesystem::file_size(path, error);
        char head[DELTA_HEADER_BYTES];
        DeltaHeader header;
        std::string reason;
        if (error || !in.read(head, sizeof(head)) ||
            !ParseDeltaHeader(reinterpret_cast<const unsigned char*>(head), size, header, reason)) {
            return "is not a game delta" + (reason.empty() ? std::string() : ": " + reason);
        }
        if (GameDeltaName(header.oldDigest) != name) {
            return "is a delta from the game whose SHA-256 is " + FormatDigestHex(header.oldDigest) +
                   ", not the one its name gives";
        }
        if (header.newDigest != game) {
            return "makes another game than the listed game.exe (players would fetch it and then another form)";
        }
    }
    return std::string();
}

int ApplyDeltaCommand(const std::vector<std::string>& args)
{
    CommandLine line;
    std::string problem;
    if (!ParseCommandLine(args, {}, {}, line, problem)) {
        return UsageError(problem);
    }
    if (line.paths.size() != 3) {
        return UsageError("apply-delta takes the old game, the delta and the file to write");
    }
    const std::filesystem::path old = PathFromUtf8(line.paths[0]);
    const std::filesystem::path delta = PathFromUtf8(line.paths[1]);
    const std::filesystem::path output = PathFromUtf8(line.paths[2]);
    for (const std::filesystem::path& input : {old, delta}) {
        if (!(problem = InputProblem(input, false)).empty()) {
            return UsageError(problem);
        }
        if (IsSameFile(output, input)) {
            return UsageError("the output " + PathToUtf8(output) + " is the input " + PathToUtf8(input) +
                              "; it would be overwritten");
        }
    }
    std::string oldBytes;
    std::string deltaBytes;
    if (!ReadWholeFile(old, UINT64_MAX, oldBytes) || !ReadWholeFile(delta, UINT64_MAX, deltaBytes)) {
        return Refused("cannot read " + PathToUtf8(old) + " or " + PathToUtf8(delta));
    }
    std::string result;
    std::string message;
    if (!ApplyInMemory(oldBytes, deltaBytes, result, message)) {
        return Refused(PathToUtf8(delta) + " to " + PathToUtf8(old) + ": " + message + "; nothing written");
    }
    if (!WriteOutputFile(output, result, message)) {
        return Refused(message);
    }
    std::printf("wrote %s (%zu bytes, SHA-256 %s)\n", PathToUtf8(output).c_str(), result.size(),
                FormatDigestHex(Sha256Of(Bytes(result), result.size())).c_str());
    return 0;
}
