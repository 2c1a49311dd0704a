#pragma once

#include "archive/archive.h"
#include "update/checksum_list.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Which entries of a release's package a player lacks, and whether fetching them by ranges beats fetching the whole
// package. Portable C++ with no Windows header: the package tool shows the same plan to the studio.

// What one request costs beyond its bytes, in bytes: its round trip at the line's speed. Measured with a delaying
// proxy on loopback in front of nginx, a ranged request on a kept-alive connection takes 51.6 ms at a 50 ms round
// trip (322 kB at 50 Mbit/s), and 0.07 ms on bare loopback (about 130 kB at the 1.8 GB/s loopback moves); a player's
// line is taken as a 50 ms round trip at 50 Mbit/s.
const uint64_t PATCH_REQUEST_COST_BYTES = 312500;
// Entries this close are fetched in one request, the bytes between them included. Joining saves time while the gap
// is below a request's cost, but every byte between is one the mirror serves for nothing. On a model of a 250 MiB,
// 4,001-file package with a random tenth changed, gaps of 0, 16, 64, 128 and 305 KiB fetch 1.00, 1.01, 1.05, 1.14 and
// 1.61 times the changed entries' bytes in 400, 328, 299, 274 and 219 requests (24.2, 20.7, 19.4, 18.5 and 17.6 s at
// 50 ms and 50 Mbit/s): 64 KiB saves three quarters of the time there is to save for 5% more bytes.
const uint64_t PATCH_MERGE_GAP_BYTES = 65536;

// One ranged request: [offset, offset + length) of the package, covering the spans of entries (package indexes).
struct PatchRequest {
    uint64_t offset = 0;
    uint64_t length = 0;
    std::vector<size_t> entries;
};

struct PatchPlan {
    bool possible = false;        // the entries name exactly the list's lib/ files, each once
    std::vector<size_t> listedOf; // per entry, the list line it writes (the list's size for a folder)
    std::vector<size_t> fetched;  // entries (package order) whose listed digest the installed file lacks; an empty
                                  // file among them needs no request
    std::vector<size_t> kept;     // installed files (indexes) the list names with the digest they have
    std::vector<size_t> removed;  // installed files (indexes) the list no longer names
    std::vector<PatchRequest> requests;
    uint64_t bytes = 0;     // the requests' bytes
    uint64_t wholeCost = 0; // the whole package's bytes
    uint64_t cost = 0;      // bytes plus PATCH_REQUEST_COST_BYTES per request
    bool patch = false;     // possible, cheaper than the whole package, and the package longer than
                            // PACKAGE_TAIL_BYTES (a shorter one comes whole with the tail)
};

// Plans a patch of the installed libraries to the list's. entries: the package's directory as ReadPackageDirectory
// gives it; listed: the list's lib/ files; installed: the installed files (paths below lib) with their digests.
// Paths match as Windows matches names, without regard to case. Throws std::bad_alloc.
PatchPlan PlanPatch(const PackageDirectoryLocation& location, const std::vector<RangedEntry>& entries,
                    const std::vector<LibraryFileChecksum>& listed, const std::vector<FileDigest>& installed);

// The folders the package's folder entries make below lib, as the disk spells them, in directory order: a release's
// empty folders, which no file of the patch makes. directory: the central directory's bytes of entryCount records,
// already accepted by ReadPackageDirectory; its names are judged as the whole package's are. Throws std::bad_alloc.
std::vector<std::wstring> PackageFolders(const MemoryImage& directory, uint64_t entryCount);

// The bytes the staging folder of a patch takes on a volume whose clusters hold clusterBytes, as the whole package's
// estimate counts them: recordBytes for every entry, and each fetched file rounded up to whole clusters; the kept
// files too when keptCopied (a volume without hard links). Saturates at UINT64_MAX.
uint64_t PatchDiskBytes(const std::vector<RangedEntry>& entries, const PatchPlan& plan, bool keptCopied,
                        uint64_t clusterBytes, uint64_t recordBytes);
