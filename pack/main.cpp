// The studio's package tool. One function per subcommand; a new subcommand is one more row in COMMANDS.
//   check PACKAGE [GAME_EXE] [--strict]   exit 0 when a player's updater installs it, 1 when it would fail
//   build FOLDER PACKAGE                  writes a deterministic package, then checks it
//   manifest [--release N] PACKAGE GAME_EXE OUT
//                                         writes the mirror's checksum list for a release (N: the UTC time)
//   keygen KEY_PEM PUBLIC_PEM             makes the studio's signing key pair (native tool only)
//   sign SHA256SUMS KEY_PEM               writes SHA256SUMS.sig beside the list (native tool only)
//   verify SHA256SUMS PUBLIC_PEM          exit 0 when the updater accepts the list's signature, 1 when not
//   diff OLD_PACKAGE NEW_PACKAGE          what a player with the old package installed fetches for the new one
// Exit code 2 for a usage error.
#include "pack/pack.h"

#include "archive/archive.h"
#include "pack/manifest.h"
#include "pack/signing.h"
#include "update/checksum_list.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif

namespace {

const int USAGE_ERROR = 2;

const int REFUSED = 1;

const char USAGE[] = "usage: pack check PACKAGE [GAME_EXE] [--strict]\n"
                     "       pack build FOLDER PACKAGE\n"
                     "       pack manifest [--release N] PACKAGE GAME_EXE SHA256SUMS\n"
                     "       pack keygen KEY_PEM PUBLIC_PEM   (native tool only)\n"
                     "       pack sign SHA256SUMS KEY_PEM     (native tool only)\n"
                     "       pack verify SHA256SUMS PUBLIC_PEM\n"
                     "       pack diff OLD_PACKAGE NEW_PACKAGE\n"
                     "exit code 0: done or accepted, 1: refused or failed, 2: usage error\n";

int Usage(const std::string& problem)
{
    std::fprintf(stderr, "pack: %s\n%s", problem.c_str(), USAGE);
    return USAGE_ERROR;
}

int Refused(const std::string& reason)
{
    std::fprintf(stderr, "pack: %s\n", reason.c_str());
    return REFUSED;
}

int Check(const std::vector<std::string>& args)
{
    bool strict = false;
    std::vector<std::string> paths;
    for (const std::string& arg : args) {
        if (arg == "--strict") {
            strict = true;
        } else if (arg.compare(0, 2, "--") == 0) {
            return Usage("unknown option " + arg);
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.empty() || paths.size() > 2) {
        return Usage("check takes a package and optionally a game executable");
    }
    Findings findings;
    CheckPackage(PathFromUtf8(paths[0]), findings);
    if (paths.size() == 2) {
        CheckGameExecutable(PathFromUtf8(paths[1]), findings);
    }
    return ReportFindings(findings, strict);
}

int Build(const std::vector<std::string>& args)
{
    if (args.size() != 2) {
        return Usage("build takes a folder and a package");
    }
    const std::filesystem::path package = PathFromUtf8(args[1]);
    Findings findings;
    BuildPackage(PathFromUtf8(args[0]), package, findings);
    if (!findings.errors.empty()) {
        std::printf("nothing written\n");
        return ReportFindings(findings, false);
    }
    // What the studio uploads is what the updater accepts: the same check as "pack check".
    CheckPackage(package, findings);
    const int verdict = ReportFindings(findings, false);
    if (verdict != 0) {
        std::error_code error;
        std::filesystem::remove(package, error);
        std::printf("removed %s\n", PathToUtf8(package).c_str());
    } else {
        std::printf("with the release's game: pack manifest %s GAME_EXE SHA256SUMS, and upload SHA256SUMS last\n",
                    PathToUtf8(package).c_str());
    }
    return verdict;
}

int Manifest(const std::vector<std::string>& args)
{
    uint64_t release = 0;
    std::vector<std::string> paths;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--release") {
            if (release != 0 || i + 1 == args.size() || !ParseReleaseNumber(args[i + 1], release)) {
                return Usage("--release takes one number of 1 to 18 digits without a leading zero");
            }
            ++i;
        } else if (args[i].compare(0, 2, "--") == 0) {
            return Usage("unknown option " + args[i]);
        } else {
            paths.push_back(args[i]);
        }
    }
    if (paths.size() != 3) {
        return Usage("manifest takes a package, a game executable and the list to write");
    }
    // Updaters refuse a list older than the release they installed; the studio's clock makes each new list newer.
    if (release == 0 && (release = ReleaseFromUtcNow()) == 0) {
        return Refused("cannot read the clock for the release number; give it with --release N");
    }
    const std::filesystem::path list = PathFromUtf8(paths[2]);
    std::string message;
    if (!WriteChecksumList(PathFromUtf8(paths[0]), PathFromUtf8(paths[1]), release, list, message)) {
        return Refused(message);
    }
    // The list vouches for the files beside it: uploaded before them, it would turn players away from a release
    // that is not there yet.
    std::printf("wrote %s (release %llu); upload it after lib.zip and game.exe\n", PathToUtf8(list).c_str(),
                static_cast<unsigned long long>(release));
    return 0;
}

#ifdef _WIN32
// Keys and signatures are made with libcrypto, which the Windows build does not carry; it only verifies, with the
// updater's own BCrypt check.
int NativeToolOnly(const std::vector<std::string>&)
{
    return Usage("keygen and sign are available in the native tool only (scripts/pack)");
}
#else
int KeyGen(const std::vector<std::string>& args)
{
    if (args.size() != 2) {
        return Usage("keygen takes the private key file and the public key file to write");
    }
    std::string message;
    if (!MakeKeyPair(PathFromUtf8(args[0]), PathFromUtf8(args[1]), message)) {
        return Refused(message);
    }
    std::printf("wrote %s (keep it off the mirrors and out of the repository) and %s (for UPDATER_RELEASE_KEYS)\n",
                args[0].c_str(), args[1].c_str());
    return 0;
}

int Sign(const std::vector<std::string>& args)
{
    if (args.size() != 2) {
        return Usage("sign takes a checksum list and a private key");
    }
    const std::filesystem::path list = PathFromUtf8(args[0]);
    std::string message;
    if (!SignChecksumList(list, PathFromUtf8(args[1]), message)) {
        return Refused(message);
    }
    std::printf("wrote %s; upload it together with %s, last\n", PathToUtf8(SignaturePathOf(list)).c_str(),
                PathToUtf8(list).c_str());
    return 0;
}
#endif

int Verify(const std::vector<std::string>& args)
{
    if (args.size() != 2) {
        return Usage("verify takes a checksum list and a public key");
    }
    const std::filesystem::path list = PathFromUtf8(args[0]);
    std::string message;
    uint64_t release = 0;
    if (!VerifyChecksumListFiles(list, PathFromUtf8(args[1]), release, message)) {
        return Refused(message);
    }
    std::printf("OK: a player's updater built with this key accepts %s and its signature, release %llu%s\n",
                PathToUtf8(list).c_str(), static_cast<unsigned long long>(release),
                release == 0 ? " (no release line: older than any release)" : "");
    return 0;
}

int Diff(const std::vector<std::string>& args)
{
    if (args.size() != 2) {
        return Usage("diff takes the installed package and the new one");
    }
    std::string message;
    if (!ShowPatch(PathFromUtf8(args[0]), PathFromUtf8(args[1]), message)) {
        return Refused(message);
    }
    return 0;
}

struct Command {
    const char* name;
    int (*run)(const std::vector<std::string>& args);
};

const Command COMMANDS[] = {
    {"check", Check},           {"build", Build},         {"manifest", Manifest},
#ifdef _WIN32
    {"keygen", NativeToolOnly}, {"sign", NativeToolOnly},
#else
    {"keygen", KeyGen}, {"sign", Sign},
#endif
    {"verify", Verify},         {"diff", Diff},
};

// The arguments in UTF-8: Windows hands them to main in the ANSI code page, so they are taken in UTF-16 there.
std::vector<std::string> Arguments(int argc, char** argv)
{
    std::vector<std::string> args;
#ifdef _WIN32
    (void)argv;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; wide != nullptr && i < count; ++i) {
        args.push_back(WideToUtf8(wide[i]));
    }
    LocalFree(wide);
    SetConsoleOutputCP(CP_UTF8);
#else
    for (int i = 1; i < argc; ++i) {
        args.push_back(argv[i]);
    }
#endif
    (void)argc;
    return args;
}

} // namespace

bool ReadWholeFile(const std::filesystem::path& path, uint64_t limit, std::string& bytes)
{
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    std::ifstream file(path, std::ios::binary);
    if (error || !file || size > limit) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad() && bytes.size() == size;
}

std::filesystem::path PathFromUtf8(const std::string& text)
{
    return std::filesystem::u8path(text);
}

std::string PathToUtf8(const std::filesystem::path& path)
{
#ifdef _WIN32
    return Printable(path.wstring());
#else
    return Printable(DecodeUtf8(path.native().data(), path.native().size()));
#endif
}

int main(int argc, char** argv)
{
    std::vector<std::string> args = Arguments(argc, argv);
    if (args.empty()) {
        return Usage("no command");
    }
    const std::string name = args.front();
    args.erase(args.begin());
    for (const Command& command : COMMANDS) {
        if (name == command.name) {
            return command.run(args);
        }
    }
    return Usage("unknown command " + name);
}
