#include "fs/fs.h"

#include "fs/handles.h"

#include <windows.h>

#include <bcrypt.h>

#include <memory>
#include <vector>

namespace {

// Large reads keep the per-call cost small next to the hashing itself; one block is held at a time.
const DWORD READ_BLOCK_BYTES = 1024 * 1024;

struct AlgorithmCloser {
    void operator()(BCRYPT_ALG_HANDLE algorithm) const { BCryptCloseAlgorithmProvider(algorithm, 0); }
};
using AlgorithmHandle = std::unique_ptr<void, AlgorithmCloser>;

struct HashDestroyer {
    void operator()(BCRYPT_HASH_HANDLE hash) const { BCryptDestroyHash(hash); }
};
using HashHandle = std::unique_ptr<void, HashDestroyer>;

bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

} // namespace

bool HashFileSha256(const std::wstring& path, Sha256Digest& digest)
{
    const HANDLE opened = CreateFileW(MakeLongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return false;
    }
    const KernelHandle file(opened);

    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    if (!Succeeded(BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        return false;
    }
    const AlgorithmHandle algorithm(rawAlgorithm);

    // Windows 7 wants the caller to provide the hash object's memory.
    DWORD objectBytes = 0;
    ULONG written = 0;
    if (!Succeeded(BCryptGetProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectBytes),
                                     sizeof(objectBytes), &written, 0))) {
        return false;
    }
    std::vector<UCHAR> object(objectBytes);
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    if (!Succeeded(BCryptCreateHash(algorithm.get(), &rawHash, object.data(), objectBytes, nullptr, 0, 0))) {
        return false;
    }
    const HashHandle hash(rawHash);

    std::vector<UCHAR> block(READ_BLOCK_BYTES);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), block.data(), READ_BLOCK_BYTES, &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            break;
        }
        if (!Succeeded(BCryptHashData(hash.get(), block.data(), read, 0))) {
            return false;
        }
    }
    Sha256Digest result = {};
    if (!Succeeded(BCryptFinishHash(hash.get(), result.data(), static_cast<ULONG>(result.size()), 0))) {
        return false;
    }
    digest = result;
    return true;
}
