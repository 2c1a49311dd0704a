#pragma once

#include "archive/archive.h"
#include "update/checksum_list.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Which entries of a release's package a player lacks, and whether fetching them by ranges beats fetching the whole
// package. Portable C++ with no Windows header: the package tool shows the same plan to the studio.

// What one request costs beyond its bytes, in bytes: a round trip of 50 ms at 50 Mbit/s.
const uint64_t PATCH_REQUEST_COST_BYTES = 312500;
// Entries this close are fetched in one request, the bytes between them included.
const uint64_t PATCH_MERGE_GAP_BYTES = 65536;

// One ranged request: [offset, offset + length) of the package, covering the spans of entries (package indexes).
struct PatchRequest {
    uint64_t offset = 0;
    uint64_t length = 0;
    std::vector<size_t> entries;
};

struct PatchPlan {
    bool possible = false;       // the entries name exactly the list's lib/ files, each once
    std::vector<size_t> fetched; // entries (package order) whose listed digest the installed file lacks; an empty
                                 // file among them needs no request
    std::vector<size_t> kept;    // installed files (indexes) the list names with the digest they have
    std::vector<size_t> removed; // installed files (indexes) the list no longer names
    std::vector<PatchRequest> requests;
    uint64_t bytes = 0;     // the requests' bytes
    uint64_t wholeCost = 0; // the whole package's bytes
    uint64_t cost = 0;      // bytes plus PATCH_REQUEST_COST_BYTES per request
    bool patch = false;     // possible, and cheaper than the whole package
};

// Plans a patch of the installed libraries to the list's. entries: the package's directory as ReadPackageDirectory
// gives it; listed: the list's lib/ files; installed: the installed files (paths below lib) with their digests.
// Paths match as Windows matches names, without regard to case. Throws std::bad_alloc.
PatchPlan PlanPatch(const PackageDirectoryLocation& location, const std::vector<RangedEntry>& entries,
                    const std::vector<LibraryFileChecksum>& listed, const std::vector<FileDigest>& installed);
