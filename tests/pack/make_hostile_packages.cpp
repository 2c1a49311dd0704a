// Writes the hostile and odd packages that pack-test.sh checks, with the archive tests' own zip writer, into the
// folder given: one file per case, named after what the check must say about it.
#include "tests/archive/zip_test_writer.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Package {
    const char* file;
    std::vector<ZipTestEntry> entries;
};

ZipTestEntry With(ZipTestEntry entry, uint16_t flags, uint16_t method)
{
    entry.flags = flags;
    entry.method = method;
    return entry;
}

ZipTestEntry BadCrc()
{
    ZipTestEntry entry = DeflatedEntry("bass.dll", SampleText(5000));
    entry.crcOverride = 0x12345678;
    return entry;
}

// A folder marked by its DOS attribute alone, without a trailing '/'.
ZipTestEntry AttributeFolder(const std::string& name)
{
    ZipTestEntry entry = StoredEntry(name, "");
    entry.externalAttributes = 0x10;
    return entry;
}

// A link as Info-ZIP stores it with -y: made on Unix, the link's type in the high bits, its target as the data.
ZipTestEntry SymbolicLink(const std::string& name, const std::string& target)
{
    ZipTestEntry entry = StoredEntry(name, target);
    entry.versionMadeBy = 0x031E;
    entry.externalAttributes = 0xA1FFu << 16;
    return entry;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_hostile_packages FOLDER\n");
        return 2;
    }
    const ZipTestEntry bass = StoredEntry("bass.dll", "library");
    const std::vector<Package> packages = {
        {"dot-component.zip", {bass, StoredEntry("./readme.txt", "r")}},
        {"empty-component.zip", {bass, StoredEntry("plugins//a.dll", "a")}},
        {"embedded-nul.zip", {bass, StoredEntry(std::string("bass.dll\0../x", 13), "n")}},
        {"climbs-out.zip", {bass, StoredEntry("../evil.dll", "e")}},
        {"reserved-character.zip", {bass, StoredEntry("what?.txt", "q")}},
        {"control-character.zip", {bass, StoredEntry("tab\there.txt", "t")}},
        {"long-component.zip", {bass, StoredEntry(std::string(256, 'a') + ".dll", "l")}},
        {"encrypted.zip", {bass, With(StoredEntry("secret.dll", "s"), 0x0001, 0)}},
        {"unsupported-method.zip", {bass, With(StoredEntry("lzma.dll", "l"), 0, 14)}},
        {"bad-crc.zip", {BadCrc()}},
        {"file-where-folder.zip", {bass, StoredEntry("plugins", "f"), StoredEntry("Plugins/a.dll", "a")}},
        {"no-entries.zip", {}},
        // Only the exact form the updater gives its leftovers is swept, in every folder.
        {"leftover-name.zip",
         {bass, StoredEntry("notes.old-backup.txt", "n"), StoredEntry("cfg.OLD-2024031501", "c"),
          StoredEntry("plugins/cfg.old-2024031501", "c")}},
        {"case-twins.zip", {bass, StoredEntry("Data.txt", "1"), StoredEntry("data.TXT", "2")}},
        {"device-name.zip", {bass, StoredEntry("sub/con.dll", "c")}},
        {"superscript-device.zip", {bass, With(StoredEntry("LPT\xC2\xB2.log", "l"), 0x0800, 0)}},
        {"trailing-dot.zip", {bass, StoredEntry("notes.", "d")}},
        {"mark-name.zip", {bass, StoredEntry("Vorlance-Updater-Complete.txt", "m")}},
        {"folders-only.zip", {StoredEntry("empty/", "")}},
        // Accepted, with warnings.
        {"cp437-name.zip",
         {bass, StoredEntry("\xC3\xBC"
                            "ber.txt",
                            "u")}},
        {"no-bass.zip", {StoredEntry("plugins/other.dll", "o")}},
        {"expands-far.zip", {bass, DeflatedEntry("zeros.bin", std::string(4 << 20, '\0'))}},
        {"refused-folder-entry.zip", {bass, StoredEntry("odd?/", "")}},
        {"symbolic-link.zip", {bass, SymbolicLink("link.dll", "bass.dll")}},
        {"attribute-folder.zip",
         {bass, AttributeFolder("plugins"), StoredEntry("plugins/a.dll", "a"), StoredEntry("plugin", "p")}},
    };
    for (const Package& package : packages) {
        std::ofstream out(std::string(argv[1]) + "/" + package.file, std::ios::binary);
        const std::string bytes = BuildZip(package.entries);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", package.file);
            return 1;
        }
    }
    return 0;
}
