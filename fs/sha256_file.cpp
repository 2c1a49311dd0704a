#include "fs/fs.h"

#include "fs/handles.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

// Large reads keep the per-call cost small next to the hashing itself; one block is held at a time.
const DWORD READ_BLOCK_BYTES = 1024 * 1024;

struct HashDestroyer {
    void operator()(BCRYPT_HASH_HANDLE hash) const { BCryptDestroyHash(hash); }
};
using HashHandle = std::unique_ptr<void, HashDestroyer>;

bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

} // namespace

// The provider, the hash object and the memory Windows 7 wants the caller to provide for it, in release order.
struct Sha256Context {
    AlgorithmHandle algorithm;
    std::vector<UCHAR> object;
    HashHandle hash;
};

void Sha256ContextDeleter::operator()(Sha256Context* context) const
{
    delete context;
}

Sha256Stream StartSha256()
{
    Sha256Stream stream(new Sha256Context);
    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    if (!Succeeded(BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return nullptr;
    }
    stream->algorithm.reset(rawAlgorithm);
    DWORD objectBytes = 0;
    ULONG written = 0;
    if (!Succeeded(BCryptGetProperty(stream->algorithm.get(), BCRYPT_OBJECT_LENGTH,
                                     reinterpret_cast<PUCHAR>(&objectBytes), sizeof(objectBytes), &written, 0))) {
        return nullptr;
    }
    stream->object.resize(objectBytes);
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    if (!Succeeded(
            BCryptCreateHash(stream->algorithm.get(), &rawHash, stream->object.data(), objectBytes, nullptr, 0, 0))) {
        return nullptr;
    }
    stream->hash.reset(rawHash);
    return stream;
}

bool AddSha256(const Sha256Stream& stream, const void* bytes, size_t length)
{
    // BCryptHashData counts in 32 bits.
    const UCHAR* at = static_cast<const UCHAR*>(bytes);
    while (length > 0) {
        const ULONG piece = static_cast<ULONG>(length < READ_BLOCK_BYTES ? length : READ_BLOCK_BYTES);
        if (!Succeeded(BCryptHashData(stream->hash.get(), const_cast<UCHAR*>(at), piece, 0))) {
            return false;
        }
        at += piece;
        length -= piece;
    }
    return true;
}

bool FinishSha256(const Sha256Stream& stream, Sha256Digest& digest)
{
    Sha256Digest result = {};
    if (!Succeeded(BCryptFinishHash(stream->hash.get(), result.data(), static_cast<ULONG>(result.size()), 0))) {
        return false;
    }
    digest = result;
    return true;
}

bool HashFileSha256(const std::wstring& path, Sha256Digest& digest)
{
    const HANDLE opened = CreateFileW(MakeLongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return false;
    }
    const KernelHandle file(opened);
    const Sha256Stream hash = StartSha256();
    if (!hash) {
        return false;
    }
    std::vector<UCHAR> block(READ_BLOCK_BYTES);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), block.data(), READ_BLOCK_BYTES, &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            break;
        }
        if (!AddSha256(hash, block.data(), read)) {
            return false;
        }
    }
    return FinishSha256(hash, digest);
}

void HashFiles(std::vector<FileDigest>& files, std::vector<char>& hashed)
{
    hashed.assign(files.size(), 0);
    const auto hash = [&files, &hashed](size_t, size_t i) {
        hashed[i] = HashFileSha256(files[i].path, files[i].digest);
    };
    TaskPoolHolder pool;
    if (files.size() > 1) {
        pool = StartTaskPool(std::min(PoolThreadCount(), files.size()), hash);
    }
    if (!pool) {
        for (size_t i = 0; i < files.size(); ++i) {
            hash(0, i);
        }
        return;
    }
    for (size_t i = 0; i < files.size(); ++i) {
        SubmitTask(*pool, i);
    }
    std::vector<size_t> finished;
    while (TakeFinishedTasks(*pool, finished, true)) {
    }
}

bool BytesHaveDigest(const void* bytes, size_t size, const Sha256Digest& digest)
{
    const Sha256Stream hash = StartSha256();
    Sha256Digest actual{};
    return hash && AddSha256(hash, bytes, size) && FinishSha256(hash, actual) && actual == digest;
}
