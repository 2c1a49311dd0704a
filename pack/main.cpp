// The studio's package tool. One function per subcommand; a new subcommand is one more row in COMMANDS.
#include "pack/pack.h"

#include "archive/archive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif

namespace {

const char USAGE[] =
    "usage: pack check [--strict] [--quiet] PACKAGE [GAME_EXE]\n"
    "                     what a player's updater does with the package (and the game)\n"
    "       pack build [--quiet] FOLDER PACKAGE\n"
    "                     packs everything below FOLDER, checks it, and only then replaces PACKAGE\n"
    "       pack manifest [--release N] [--previous OLD_SHA256SUMS] [--from OLD_GAME_EXE]... [--updater UPDATER_EXE]\n"
    "                     PACKAGE GAME_EXE SHA256SUMS\n"
    "                     writes the mirror's checksum list (N: the current UTC time as YYYYMMDDHHMMSS), and beside\n"
    "                     it game.exe.gz and a delta from each OLD_GAME_EXE (--from: native tool only); lists\n"
    "                     UPDATER_EXE as updater.exe, the updater players' updaters replace themselves with\n"
    "       pack apply-delta OLD_GAME_EXE DELTA OUTPUT\n"
    "                     applies a game delta as the updater does and writes the game it makes\n"
    "       pack keygen KEY_PEM PUBLIC_PEM                 (native tool only)\n"
    "                     makes the studio's signing key pair and prints its fingerprint\n"
    "       pack sign [--passin file:PATH|env:VAR] SHA256SUMS KEY_PEM   (native tool only)\n"
    "                     writes SHA256SUMS.sig beside the list\n"
    "       pack verify SHA256SUMS PUBLIC_PEM [FOLDER]\n"
    "                     checks the signature as the updater does, and the listed files that stand in FOLDER\n"
    "       pack diff OLD NEW\n"
    "                     what a player with OLD installed fetches for NEW (two packages, or two release folders\n"
    "                     holding lib.zip, game.exe and the new SHA256SUMS with the game's forms beside it)\n"
    "       pack --help | --version\n"
    "exit code 0: done or accepted, 1: refused or failed, 2: usage mistake\n";

// What the whole check's verdict says when the package would fail at players.
const char PLAYERS_WOULD_FAIL[] = "a player's updater would fail";

// The first bytes of a file, to tell a package ("PK") from a program ("MZ") when arguments come swapped.
std::string FileStart(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    char start[2] = {};
    return in.read(start, 2) ? std::string(start, 2) : std::string();
}

int Check(const std::vector<std::string>& args)
{
    CommandLine line;
    std::string problem;
    if (!ParseCommandLine(args, {"--strict", "--quiet"}, {}, line, problem)) {
        return UsageError(problem);
    }
    if (line.paths.empty() || line.paths.size() > 2) {
        return UsageError("check takes a package and optionally a game executable");
    }
    for (const std::string& path : line.paths) {
        if (!(problem = InputProblem(PathFromUtf8(path), false)).empty()) {
            return UsageError(problem);
        }
    }
    if (line.paths.size() == 2 && !(problem = SwappedProblem(line.paths[0], line.paths[1])).empty()) {
        return UsageError(problem);
    }
    Findings findings;
    const std::filesystem::path package = PathFromUtf8(line.paths[0]);
    CheckPackage(package, PathToUtf8(package), line.options.count("--quiet") == 0, findings);
    if (line.paths.size() == 2) {
        CheckGameExecutable(PathFromUtf8(line.paths[1]), findings);
    }
    return ReportFindings(findings, line.options.count("--strict") != 0, PLAYERS_WOULD_FAIL);
}

int Build(const std::vector<std::string>& args)
{
    CommandLine line;
    std::string problem;
    if (!ParseCommandLine(args, {"--quiet"}, {}, line, problem)) {
        return UsageError(problem);
    }
    if (line.paths.size() != 2) {
        return UsageError("build takes a folder and a package");
    }
    const std::filesystem::path folder = PathFromUtf8(line.paths[0]);
    if (!(problem = InputProblem(folder, true)).empty()) {
        return UsageError(problem);
    }
    std::error_code error;
    if (std::filesystem::is_directory(PathFromUtf8(line.paths[1]), error)) {
        return UsageError(line.paths[1] + " is a folder: build takes the folder first, then the package to write");
    }
    const std::filesystem::path package = PathFromUtf8(line.paths[1]);
    Findings findings;
    BuildPackage(folder, package, line.options.count("--quiet") == 0, findings);
    const int verdict = ReportFindings(findings, false, "nothing written, " + PathToUtf8(package) + " is unchanged");
    if (verdict == 0) {
        std::printf("next: pack manifest --previous OLD_SHA256SUMS %s GAME_EXE SHA256SUMS\n",
                    PathToUtf8(package).c_str());
    }
    return verdict;
}

int Diff(const std::vector<std::string>& args)
{
    CommandLine line;
    std::string problem;
    if (!ParseCommandLine(args, {}, {}, line, problem)) {
        return UsageError(problem);
    }
    if (line.paths.size() != 2) {
        return UsageError("diff takes the installed release and the new one (two packages or two folders)");
    }
    Release releases[2];
    std::error_code error;
    for (int i = 0; i < 2; ++i) {
        const std::filesystem::path given = PathFromUtf8(line.paths[i]);
        Release& release = releases[i];
        release.package = given;
        if (std::filesystem::is_directory(given, error)) {
            release.package = given / "lib.zip";
            for (const auto& file :
                 {std::make_pair(&release.game, "game.exe"), std::make_pair(&release.list, "SHA256SUMS"),
                  std::make_pair(&release.signature, "SHA256SUMS.sig")}) {
                if (std::filesystem::is_regular_file(given / file.second, error)) {
                    *file.first = given / file.second;
                }
            }
        }
        if (!(problem = InputProblem(release.package, false)).empty()) {
            return UsageError(problem);
        }
    }
    std::string message;
    if (!ShowPatch(releases[0], releases[1], message)) {
        return Refused(message);
    }
    return 0;
}

#ifdef _WIN32
// Keys and signatures are made with libcrypto, which the Windows build does not carry; it only verifies, with the
// updater's own BCrypt check.
int NativeToolOnly(const std::vector<std::string>&)
{
    return UsageError("keygen and sign are available in the native tool only (scripts/pack)");
}
#endif

struct Command {
    const char* name;
    int (*run)(const std::vector<std::string>& args);
};

const Command COMMANDS[] = {
    {"check", Check},           {"build", Build},         {"manifest", ManifestCommand},
#ifdef _WIN32
    {"keygen", NativeToolOnly}, {"sign", NativeToolOnly},
#else
    {"keygen", KeyGenCommand}, {"sign", SignCommand},
#endif
    {"verify", VerifyCommand},  {"diff", Diff},           {"apply-delta", ApplyDeltaCommand},
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

std::string SwappedProblem(const std::string& package, const std::string& game)
{
    // A package given where the game goes and the game where the package goes: a usage mistake, not a broken release.
    if (FileStart(PathFromUtf8(package)) == "MZ" && FileStart(PathFromUtf8(game)) == "PK") {
        return package + " is a program and " + game + " a zip package: the package comes first";
    }
    return std::string();
}

bool ParseCommandLine(const std::vector<std::string>& args, const std::vector<std::string>& flags,
                      const std::vector<std::string>& valued, CommandLine& line, std::string& problem,
                      const std::vector<std::string>& repeatable)
{
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.compare(0, 2, "--") != 0) {
            line.paths.push_back(arg);
            continue;
        }
        const bool flag = std::find(flags.begin(), flags.end(), arg) != flags.end();
        const bool again = std::find(repeatable.begin(), repeatable.end(), arg) != repeatable.end();
        const bool takesValue = again || std::find(valued.begin(), valued.end(), arg) != valued.end();
        if (arg == "--") {
            optionsEnded = true;
        } else if (!flag && !takesValue) {
            problem = "unknown option " + arg;
            return false;
        } else if (line.options.count(arg) != 0) {
            problem = arg + " given twice";
            return false;
        } else if (takesValue && i + 1 == args.size()) {
            problem = arg + " takes a value";
            return false;
        } else if (again) {
            line.repeated[arg].push_back(args[++i]);
        } else {
            line.options[arg] = takesValue ? args[++i] : std::string();
        }
    }
    return true;
}

int UsageError(const std::string& problem)
{
    std::fprintf(stderr, "pack: %s\n%s", problem.c_str(), USAGE);
    return EXIT_USAGE;
}

int Refused(const std::string& reason)
{
    std::fprintf(stderr, "pack: %s\n", reason.c_str());
    return EXIT_REFUSED;
}

std::string InputProblem(const std::filesystem::path& path, bool folder)
{
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) {
        return PathToUtf8(path) + ": no such " + (folder ? "folder" : "file");
    }
    if (folder && !std::filesystem::is_directory(status)) {
        return PathToUtf8(path) + " is not a folder";
    }
    if (!folder && std::filesystem::is_directory(status)) {
        return PathToUtf8(path) + " is a folder, not a file";
    }
    return std::string();
}

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
        return UsageError("no command");
    }
    const std::string name = args.front();
    args.erase(args.begin());
    if (name == "--help" || name == "-h" || std::find(args.begin(), args.end(), "--help") != args.end()) {
        std::printf("%s", USAGE);
        return 0;
    }
    if (name == "--version") {
        std::printf("pack %s (the package tool of the Vorlance updater %s)\n", PACK_VERSION, PACK_VERSION);
        return 0;
    }
    for (const Command& command : COMMANDS) {
        if (name == command.name) {
            return command.run(args);
        }
    }
    return UsageError("unknown command " + name);
}
