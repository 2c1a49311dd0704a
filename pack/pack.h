#pragma once

#include "archive/archive.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// The studio's package tool: checks a library package (and a game executable) the way the updater reads them, and
// builds packages that pass that check. Portable: the same sources build natively on Linux and on Windows.

// True when every byte is below 0x80.
bool IsAscii(const std::string& bytes);

// What a check found, as UTF-8 lines; any error means a player's updater would fail.
struct Findings {
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
};

// How Windows takes a path below lib ('\'-separated UTF-16 components; a trailing '\' marks a folder): adds an
// error when it cannot create it there, a warning when it creates something the studio probably did not mean.
// what names the entry in the messages.
void CheckWindowsPath(const std::wstring& path, const std::string& what, Findings& findings);

// Reads the package with the updater's zip reader and name rules, prints one line per entry (index, size, name as
// decoded, path below lib) and adds what it finds to findings.
void CheckPackage(const std::filesystem::path& package, Findings& findings);

// Checks the game executable as the updater does ("MZ", more than 100000 bytes) and as Windows will (a well-formed
// PE image for x86-64, x86 or ARM64); warns when it carries no Authenticode signature. Prints one summary line.
void CheckGameExecutable(const std::filesystem::path& executable, Findings& findings);

// Prints the findings and a verdict line; returns the exit code: 1 with errors (or warnings when strict), else 0.
int ReportFindings(const Findings& findings, bool strict);

// Writes a package of everything below folder (sorted, deterministic, UTF-8 flagged names, deflate or stored).
// Adds an error instead, writing nothing, for anything the check would refuse or that is not a plain file or
// folder (symbolic links are never followed). Prints what it packed.
void BuildPackage(const std::filesystem::path& folder, const std::filesystem::path& package, Findings& findings);

// Shows what a player with oldPackage installed fetches for newPackage, as the updater reads both by ranges and plans
// the patch: the files changed, added and removed, the bytes and requests, and whether the updater patches or fetches
// the whole package. False with a one-line reason in message when a package cannot be read or the updater would
// refuse it. Throws std::bad_alloc.
bool ShowPatch(const std::filesystem::path& oldPackage, const std::filesystem::path& newPackage, std::string& message);

// UTF-8 of a name for the terminal: control characters (C0, DEL, C1) shown as \xNN, so that a hostile name can
// neither hide part of itself nor send escape sequences to the studio's terminal.
std::string Printable(const std::wstring& name);

// The whole file when it can be read and is at most limit bytes; a larger file is refused unread.
bool ReadWholeFile(const std::filesystem::path& path, uint64_t limit, std::string& bytes);

// A path given on the command line (UTF-8) as a file-system path.
std::filesystem::path PathFromUtf8(const std::string& text);

// A file-system path for messages: UTF-8, Printable.
std::string PathToUtf8(const std::filesystem::path& path);
