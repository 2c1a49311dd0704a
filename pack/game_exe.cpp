#include "pack/pack.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace {

// The headers and section table lie at the start; a PE header pointer beyond this is not a real program.
const size_t HEADER_BYTES = 0x10000;

const uint16_t MACHINE_X86 = 0x014C;
const uint16_t MACHINE_X64 = 0x8664;
const uint16_t MACHINE_ARM64 = 0xAA64;
const uint16_t OPTIONAL_MAGIC_32 = 0x10B;
const uint16_t OPTIONAL_MAGIC_64 = 0x20B;
const uint16_t CHARACTERISTIC_EXECUTABLE = 0x0002;
const uint16_t CHARACTERISTIC_DLL = 0x2000;
const size_t FILE_HEADER_BYTES = 20;
const size_t SECTION_HEADER_BYTES = 40;
const uint32_t SECURITY_DIRECTORY = 4;
// The sizes players' updaters take for a new updater (update/self/self_update.h, which the native tool cannot include).
const uint64_t UPDATER_MIN_BYTES = 64 * 1024;
const uint64_t UPDATER_MAX_BYTES = 64ull * 1024 * 1024;

uint32_t Le(const std::string& bytes, size_t offset, int width)
{
    uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + static_cast<size_t>(i)]);
    }
    return value;
}

// Why the image is not a well-formed PE program for one of the machines the game ships for; empty when it is.
// description and signed tell what it is.
std::string PeProblem(const std::string& head, uint64_t fileSize, std::string& description, bool& isSigned)
{
    if (head.size() < 0x40) {
        return "too short for a DOS header";
    }
    const uint32_t peOffset = Le(head, 0x3C, 4);
    if (peOffset > head.size() - 4 - FILE_HEADER_BYTES || Le(head, peOffset, 4) != 0x00004550) {
        return "no PE signature where the DOS header points";
    }
    const size_t fileHeader = peOffset + 4;
    const uint16_t machine = static_cast<uint16_t>(Le(head, fileHeader, 2));
    const uint16_t sections = static_cast<uint16_t>(Le(head, fileHeader + 2, 2));
    const uint16_t optionalSize = static_cast<uint16_t>(Le(head, fileHeader + 16, 2));
    const uint16_t characteristics = static_cast<uint16_t>(Le(head, fileHeader + 18, 2));
    const char* machineName = machine == MACHINE_X64 ? "x86-64" : machine == MACHINE_X86 ? "x86" : "ARM64";
    if (machine != MACHINE_X64 && machine != MACHINE_X86 && machine != MACHINE_ARM64) {
        char hex[8];
        std::snprintf(hex, sizeof(hex), "%04X", machine);
        return std::string("machine type 0x") + hex + " is none of x86-64, x86 and ARM64";
    }
    if ((characteristics & CHARACTERISTIC_EXECUTABLE) == 0 || (characteristics & CHARACTERISTIC_DLL) != 0) {
        return "not marked as an executable program (a DLL or an object file)";
    }
    const size_t optional = fileHeader + FILE_HEADER_BYTES;
    const uint16_t wantedMagic = machine == MACHINE_X86 ? OPTIONAL_MAGIC_32 : OPTIONAL_MAGIC_64;
    // The data directories start at 96 (PE32) or 112 (PE32+) bytes into the optional header, 8 bytes each.
    const size_t directories = optional + (wantedMagic == OPTIONAL_MAGIC_32 ? 96 : 112);
    if (optionalSize < directories - optional || optional + optionalSize > head.size()) {
        return "the optional header is cut short";
    }
    if (Le(head, optional, 2) != wantedMagic) {
        return std::string("the optional header does not match the machine type ") + machineName;
    }
    const uint32_t directoryCount = Le(head, directories - 4, 4);
    const size_t sectionTable = optional + optionalSize;
    if (sections == 0 || sectionTable + size_t{sections} * SECTION_HEADER_BYTES > head.size()) {
        return "the section table is missing or cut short";
    }
    for (uint16_t i = 0; i < sections; ++i) {
        const size_t section = sectionTable + size_t{i} * SECTION_HEADER_BYTES;
        const uint64_t rawSize = Le(head, section + 16, 4);
        const uint64_t rawOffset = Le(head, section + 20, 4);
        if (rawSize != 0 && rawOffset + rawSize > fileSize) {
            return "section " + std::to_string(i) + " lies partly beyond the end of the file";
        }
    }
    isSigned = false;
    if (directoryCount > SECURITY_DIRECTORY &&
        directories + (SECURITY_DIRECTORY + 1) * 8 <= optional + size_t{optionalSize}) {
        // The security directory alone holds a file offset rather than an address.
        const uint64_t offset = Le(head, directories + SECURITY_DIRECTORY * 8, 4);
        const uint64_t size = Le(head, directories + SECURITY_DIRECTORY * 8 + 4, 4);
        if (size != 0 && offset + size > fileSize) {
            return "the signature data lies beyond the end of the file";
        }
        isSigned = size != 0;
    }
    description = std::string(wantedMagic == OPTIONAL_MAGIC_32 ? "PE32 " : "PE32+ ") + machineName + ", " +
                  std::to_string(sections) + " sections";
    return std::string();
}

} // namespace

std::string UpdaterExecutableProblem(const std::filesystem::path& updater)
{
    std::ifstream in(updater, std::ios::binary);
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(updater, error);
    std::string head(static_cast<size_t>(std::min<uintmax_t>(error ? 0 : size, HEADER_BYTES)), '\0');
    if (!in || error || !in.read(&head[0], static_cast<std::streamsize>(head.size()))) {
        return "cannot read it";
    }
    if (size < UPDATER_MIN_BYTES || size > UPDATER_MAX_BYTES) {
        return std::to_string(size) + " bytes: players' updaters take a new updater of " +
               std::to_string(UPDATER_MIN_BYTES) + " to " + std::to_string(UPDATER_MAX_BYTES) + " bytes only";
    }
    std::string description;
    bool isSigned = false;
    const std::string problem = PeProblem(head, size, description, isSigned);
    return problem.empty() ? problem : "not a well-formed Windows program: " + problem;
}

void CheckGameExecutable(const std::filesystem::path& executable, Findings& findings)
{
    const std::string shown = "game " + PathToUtf8(executable);
    std::ifstream in(executable, std::ios::binary);
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(executable, error);
    if (!in || error) {
        findings.errors.push_back(shown + ": cannot open it");
        return;
    }
    std::string head(static_cast<size_t>(std::min<uintmax_t>(size, HEADER_BYTES)), '\0');
    if (!in.read(&head[0], static_cast<std::streamsize>(head.size()))) {
        findings.errors.push_back(shown + ": cannot read it");
        return;
    }
    // The updater's own test; a download failing it is deleted as damaged.
    if (head.compare(0, 2, "MZ") != 0 || !IsPlausibleGameSize(size)) {
        findings.errors.push_back(shown + ": the updater needs \"MZ\" at the start and more than " +
                                  std::to_string(IMPLAUSIBLE_GAME_MAX_BYTES) + " bytes (" + std::to_string(size) +
                                  " bytes): players would see \"The downloaded update was "
                                  "damaged.\"");
        return;
    }
    std::string description;
    bool isSigned = false;
    const std::string problem = PeProblem(head, size, description, isSigned);
    if (!problem.empty()) {
        findings.errors.push_back(shown + ": not a well-formed Windows program: " + problem);
        return;
    }
    std::printf("%s: %s, %ju bytes, %s\n", shown.c_str(), description.c_str(), static_cast<uintmax_t>(size),
                isSigned ? "signed" : "unsigned");
    if (!isSigned) {
        findings.warnings.push_back(shown + ": carries no Authenticode signature; SmartScreen and antivirus "
                                            "products distrust unsigned programs");
    }
}
