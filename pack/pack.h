#pragma once

#include "archive/archive.h"

#include <cstdint>
#include <filesystem>
#include <map>
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

// Reads the package with the updater's zip reader and name rules and adds what it finds to findings, each naming
// shown (the package's name for messages). With listEntries, prints one line per entry (index, size, name as decoded,
// path below lib).
void CheckPackage(const std::filesystem::path& package, const std::string& shown, bool listEntries, Findings& findings);

// Checks the game executable as the updater does ("MZ", more than 100000 bytes) and as Windows will (a well-formed
// PE image for x86-64, x86 or ARM64); warns when it carries no Authenticode signature. Prints one summary line.
void CheckGameExecutable(const std::filesystem::path& executable, Findings& findings);

// Why players' updaters would refuse to start this file as a new updater (not a well-formed Windows program, or
// outside the sizes they take); empty when they would start it. Throws std::bad_alloc.
std::string UpdaterExecutableProblem(const std::filesystem::path& updater);

// Prints the findings and a verdict line ("FAILED: " and failed with errors); returns the exit code: 1 with errors
// (or warnings when strict), else 0.
int ReportFindings(const Findings& findings, bool strict, const std::string& failed);

// One file or empty folder that a package will hold.
struct PackItem {
    std::string name; // '/'-separated UTF-8, a trailing '/' for a folder
    std::filesystem::path source;
    bool folder;
};

// Collects the files and empty folders below folder, unsorted; adds an error for anything the check would refuse or
// that is not a plain file or folder (symbolic links are never followed), and for two names that differ only in
// case. Skips the desktop's own files with a note; warns about what is probably not meant for players.
void CollectFolder(const std::filesystem::path& folder, std::vector<PackItem>& items, Findings& findings);

// Writes a package of everything below folder (sorted, deterministic, UTF-8 flagged names, deflate or stored) under
// a temporary name beside package, checks it as CheckPackage does, and only then gives it the package's name.
// Adds an error instead, leaving package as it was, for anything the check would refuse or that is not a plain file
// or folder (symbolic links are never followed). Skips the desktop's own files with a note; warns about what is
// probably not meant for players. Prints what it packed.
void BuildPackage(const std::filesystem::path& folder, const std::filesystem::path& package, bool listEntries,
                  Findings& findings);

// What a player pays for the newer of two releases, each a package or a folder holding lib.zip, game.exe and
// (the newer one) SHA256SUMS and its signature.
struct Release {
    std::filesystem::path package;
    std::filesystem::path game;      // empty when not known
    std::filesystem::path list;      // empty when not known
    std::filesystem::path signature; // empty when not known
};

// Shows what a player with before installed fetches for after, as the updater reads the package by ranges and plans
// the patch: the files changed, added and removed, the bytes and requests for the list, the game and the libraries
// each on a line of its own, and the total. False with a one-line reason in message when a package cannot be read or
// the updater would refuse it. Throws std::bad_alloc.
bool ShowPatch(const Release& before, const Release& after, std::string& message);

// Writes bytes under a new temporary name beside output (created, never taken over); false with a reason in
// message, leaving nothing behind.
bool WriteTemporaryBeside(const std::filesystem::path& output, const std::string& bytes,
                          std::filesystem::path& temporary, std::string& message);
// Gives a whole temporary file the output's name, replacing what stood there at once; false with a reason in
// message, the temporary removed and the output as it was.
bool ReplaceWithTemporary(const std::filesystem::path& temporary, const std::filesystem::path& output,
                          std::string& message);
// Removes a temporary file this run made.
void DiscardTemporary(const std::filesystem::path& temporary);
// WriteTemporaryBeside, then ReplaceWithTemporary.
bool WriteOutputFile(const std::filesystem::path& output, const std::string& bytes, std::string& message);
// True when both paths name one existing file, whatever the spelling (hard links included).
bool IsSameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// Why the updater refuses a checksum list, as "line N: reason" (or the whole list's reason); empty when it parses.
std::string ExplainListRefusal(const std::string& text);

// UTF-8 of a name for the terminal: control characters (C0, DEL, C1) shown as \xNN, so that a hostile name can
// neither hide part of itself nor send escape sequences to the studio's terminal.
std::string Printable(const std::wstring& name);

// The whole file when it can be read and is at most limit bytes; a larger file is refused unread.
bool ReadWholeFile(const std::filesystem::path& path, uint64_t limit, std::string& bytes);

// A path given on the command line (UTF-8) as a file-system path.
std::filesystem::path PathFromUtf8(const std::string& text);

// A file-system path for messages: UTF-8, Printable.
std::string PathToUtf8(const std::filesystem::path& path);

// The command line (main.cpp): exit code 1 for a refusal or a failure, 2 for a usage mistake.
const int EXIT_REFUSED = 1;
const int EXIT_USAGE = 2;

// One subcommand's arguments: its paths in order, and the options given ("--strict" maps to "", "--release" to its
// value; "--from", which may be given again, to its values in order).
struct CommandLine {
    std::vector<std::string> paths;
    std::map<std::string, std::string> options;
    std::map<std::string, std::vector<std::string>> repeated;
};

// Splits args by the options a command knows: flags, options that take the next argument as their value, and such
// options that may be given more than once; "--" ends the options. False with problem for an unknown option, one
// given twice that may not be, or one without its value.
bool ParseCommandLine(const std::vector<std::string>& args, const std::vector<std::string>& flags,
                      const std::vector<std::string>& valued, CommandLine& line, std::string& problem,
                      const std::vector<std::string>& repeatable = {});

// Prints "pack: " and problem, then the usage; returns EXIT_USAGE.
int UsageError(const std::string& problem);

// Prints "pack: " and reason; returns EXIT_REFUSED.
int Refused(const std::string& reason);

// Why the arguments look swapped: the package given is a program and the game a zip package; empty otherwise.
std::string SwappedProblem(const std::string& package, const std::string& game);

// Why path cannot be read as an input file (or a folder): empty when it can.
std::string InputProblem(const std::filesystem::path& path, bool folder);

// A form of game.exe that manifest writes beside the list: its name there, its bytes and their digest, and for a
// delta the old game it is from.
struct GameForm {
    std::string name;
    std::string bytes;
    Sha256Digest digest;
    std::filesystem::path from;
};

// Makes game.exe.gz of game, and a delta from each of oldGames (native tool only), and checks each by undoing it:
// the gzip inflated, the delta applied to its old game as the updater applies it. Prints each form's size. False
// with a reason when a file cannot be read, an old game is this game or given twice, or a form does not give the game
// back. Throws std::bad_alloc.
bool MakeGameForms(const std::filesystem::path& game, const std::vector<std::filesystem::path>& oldGames,
                   std::vector<GameForm>& forms, std::string& message);

// Why a listed form of game.exe at path, whose bytes match its line, would not give players the listed game
// (digest): game.exe.gz does not unpack to it, a delta's header names another old game than its name or another new
// one. Empty when it gives the game, and for other names. Throws std::bad_alloc.
std::string GameFormProblem(const std::string& name, const std::filesystem::path& path, const Sha256Digest& game);

// The release commands (release_commands.cpp, game_forms.cpp); each returns the exit code.
int ApplyDeltaCommand(const std::vector<std::string>& args);
int ManifestCommand(const std::vector<std::string>& args);
int KeyGenCommand(const std::vector<std::string>& args);
int SignCommand(const std::vector<std::string>& args);
int VerifyCommand(const std::vector<std::string>& args);
