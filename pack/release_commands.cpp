// The commands that make and check what vouches for a release: its checksum list, the key and the signature.
#include "pack/delta.h"
#include "pack/manifest.h"
#include "pack/pack.h"
#include "pack/signing.h"
#include "update/checksum_list.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

// Said wherever a list states no release, so that the studio knows what it gives up.
const char NO_RELEASE_LINE[] = "no release line: updaters that have recorded a release refuse this list, and "
                               "updaters without one take it as the oldest release";

// Why an output cannot be written where it was asked: it would overwrite one of the command's inputs.
std::string OutputProblem(const std::filesystem::path& output, const std::vector<std::filesystem::path>& inputs)
{
    for (const std::filesystem::path& input : inputs) {
        if (IsSameFile(output, input)) {
            return "the output " + PathToUtf8(output) + " is the input " + PathToUtf8(input) +
                   "; it would be overwritten";
        }
    }
    return std::string();
}

// The release of the list the players have now; false with message when it cannot be read as the updater reads it.
bool PreviousRelease(const std::filesystem::path& path, uint64_t& release, std::string& message)
{
    std::string text;
    ChecksumList list{};
    if (!ReadWholeFile(path, UINT64_MAX, text)) {
        message = PathToUtf8(path) + ": cannot read it";
        return false;
    }
    if (!ParseChecksumList(text, list)) {
        message = PathToUtf8(path) + ": the updater refuses this list: " + ExplainListRefusal(text);
        return false;
    }
    release = list.release;
    return true;
}

#ifndef _WIN32
// The passphrase as openssl's -passin takes it: "file:PATH" (its first line) or "env:VAR"; false with problem.
bool ReadPassphrase(const std::string& source, std::string& passphrase, std::string& problem)
{
    if (source.compare(0, 5, "file:") == 0) {
        std::ifstream in(PathFromUtf8(source.substr(5)), std::ios::binary);
        if (!in || !std::getline(in, passphrase)) {
            problem = "--passin " + source + ": cannot read the passphrase from the file";
            return false;
        }
        if (!passphrase.empty() && passphrase.back() == '\r') {
            passphrase.pop_back();
        }
        return true;
    }
    if (source.compare(0, 4, "env:") == 0) {
        const char* value = std::getenv(source.substr(4).c_str());
        if (value == nullptr) {
            problem = "--passin " + source + ": the environment variable is not set";
            return false;
        }
        passphrase = value;
        return true;
    }
    problem = "--passin takes file:PATH or env:VAR";
    return false;
}
#endif

} // namespace

int ManifestCommand(const std::vector<std::string>& args)
{
    CommandLine line;
    std::string problem;
    if (!ParseCommandLine(args, {}, {"--release", "--previous", "--updater"}, line, problem, {"--from"})) {
        return UsageError(problem);
    }
#ifdef _WIN32
    // The suffix sort a delta needs comes from a library the Windows build does not carry.
    if (line.repeated.count("--from") != 0) {
        return UsageError("--from is available in the native tool only (scripts/pack)");
    }
#endif
    uint64_t release = 0;
    if (line.options.count("--release") != 0 && !ParseReleaseNumber(line.options["--release"], release)) {
        return UsageError("--release takes one number of 1 to 18 digits without a leading zero");
    }
    if (line.paths.size() != 3) {
        return UsageError("manifest takes a package, a game executable and the list to write");
    }
    const std::filesystem::path package = PathFromUtf8(line.paths[0]);
    const std::filesystem::path game = PathFromUtf8(line.paths[1]);
    const std::filesystem::path list = PathFromUtf8(line.paths[2]);
    const std::filesystem::path gz = list.parent_path() / GAME_GZ_NAME;
    const std::filesystem::path previousList =
        line.options.count("--previous") != 0 ? PathFromUtf8(line.options["--previous"]) : std::filesystem::path();
    std::vector<std::filesystem::path> oldGames;
    for (const std::string& from : line.repeated["--from"]) {
        oldGames.push_back(PathFromUtf8(from));
    }
    const std::filesystem::path updater =
        line.options.count("--updater") != 0 ? PathFromUtf8(line.options["--updater"]) : std::filesystem::path();
    std::vector<std::filesystem::path> inputs = {package, game};
    inputs.insert(inputs.end(), oldGames.begin(), oldGames.end());
    if (!updater.empty()) {
        inputs.push_back(updater);
    }
    if (!previousList.empty()) {
        inputs.push_back(previousList);
    }
    for (const std::filesystem::path& input : inputs) {
        if (!(problem = InputProblem(input, false)).empty()) {
            return UsageError(problem);
        }
    }
    if (!(problem = SwappedProblem(line.paths[0], line.paths[1])).empty() ||
        !(problem = OutputProblem(list, inputs)).empty() || !(problem = OutputProblem(gz, inputs)).empty()) {
        return UsageError(problem);
    }
    // Updaters refuse a list older than the release they installed; the studio's clock makes each new list newer.
    if (release == 0 && (release = ReleaseFromUtcNow()) == 0) {
        return Refused("cannot read the clock for the release number; give it with --release N");
    }
    if (IsReleaseTooFarAhead(release, UtcNowSeconds())) {
        return Refused("release " + std::to_string(release) + " lies more than a day beyond the current UTC time (" +
                       std::to_string(ReleaseFromUtcNow()) +
                       "): an updater that installs it refuses every later list until then; nothing written");
    }
    std::string message;
    if (!previousList.empty()) {
        uint64_t previous = 0;
        if (!PreviousRelease(previousList, previous, message)) {
            return Refused(message);
        }
        if (release <= previous) {
            return Refused("release " + std::to_string(release) + " is not higher than release " +
                           std::to_string(previous) + " of " + PathToUtf8(previousList) +
                           ": players who installed that one would refuse this list; nothing written");
        }
    }
    // Whatever a player's updater would refuse in the package is refused before any list vouches for it; the game
    // is check's to judge.
    Findings findings;
    CheckPackage(package, PathToUtf8(package), false, findings);
    if (!findings.errors.empty()) {
        findings.warnings.clear();
        return ReportFindings(findings, false, "nothing written");
    }
    std::vector<GameForm> forms;
    if (!MakeGameForms(game, oldGames, forms, message)) {
        return Refused(message + "; nothing written");
    }
    std::vector<ListedFile> listedForms;
    for (const GameForm& form : forms) {
        if (!(problem = OutputProblem(list.parent_path() / form.name, inputs)).empty()) {
            return UsageError(problem);
        }
        listedForms.push_back({form.name, form.digest});
    }
    // An updater that players' updaters would not even start is refused here; whether it works on their machines is
    // for its qualification there to show.
    if (!updater.empty()) {
        ListedFile listedUpdater{"updater.exe", Sha256Digest{}};
        if (!(problem = UpdaterExecutableProblem(updater)).empty() || !Sha256OfFile(updater, listedUpdater.digest)) {
            return Refused(PathToUtf8(updater) + ": " + (problem.empty() ? "cannot read it" : problem) +
                           "; nothing written");
        }
        listedForms.push_back(listedUpdater);
    }
    std::string text;
    size_t files = 0;
    if (!MakeChecksumList(package, game, listedForms, release, text, files, message)) {
        return Refused(message + "; nothing written");
    }
    if (text.size() > CHECKSUM_LIST_MAX_BYTES) {
        return Refused("the list for " + std::to_string(files) + " library files would be " +
                       std::to_string(text.size()) + " bytes; the updater reads at most " +
                       std::to_string(CHECKSUM_LIST_MAX_BYTES) +
                       " and would fetch the whole package on every run; nothing written");
    }
    if (!(problem = ExplainListRefusal(text)).empty()) {
        return Refused("the updater would refuse this list: " + problem + "; nothing written");
    }
    // The forms first: a list is never left naming a form that is not there yet.
    for (const GameForm& form : forms) {
        if (!WriteOutputFile(list.parent_path() / form.name, form.bytes, message)) {
            return Refused(message + "; the list is unchanged");
        }
    }
    if (!WriteOutputFile(list, text, message)) {
        return Refused(message);
    }
    // The list vouches for the files beside it: uploaded before them, it would turn players away from a release
    // that is not there yet.
    std::printf("wrote %s (release %llu, %zu library files, game.exe in %zu more form(s) beside it); upload it "
                "after lib.zip, game.exe and the forms\n",
                PathToUtf8(list).c_str(), static_cast<unsigned long long>(release), files, forms.size());
    if (!updater.empty()) {
        std::printf("listed %s as updater.exe: upload it under that name, before the list, to every mirror players' "
                    "updaters fetch from, and to the mirrors it fetches from itself\n",
                    PathToUtf8(updater).c_str());
    }
    const std::filesystem::path signature = SignaturePathOf(list);
    std::error_code error;
    if (std::filesystem::exists(signature, error)) {
        std::printf("warning: %s signs the list this replaced, not this one: sign again with pack sign\n",
                    PathToUtf8(signature).c_str());
    }
    return 0;
}

#ifndef _WIN32
int KeyGenCommand(const std::vector<std::string>& args)
{
    CommandLine line;
    std::string problem;
    if (!ParseCommandLine(args, {}, {}, line, problem)) {
        return UsageError(problem);
    }
    if (line.paths.size() != 2 || line.paths[0] == line.paths[1]) {
        return UsageError("keygen takes the private key file and the public key file to write, two names");
    }
    std::string fingerprint;
    std::string message;
    if (!MakeKeyPair(PathFromUtf8(line.paths[0]), PathFromUtf8(line.paths[1]), fingerprint, message)) {
        return Refused(message);
    }
    std::printf("wrote %s (keep it off the mirrors and out of the repository) and %s (for UPDATER_RELEASE_KEYS)\n"
                "key fingerprint %s\n",
                line.paths[0].c_str(), line.paths[1].c_str(), fingerprint.c_str());
    return 0;
}

int SignCommand(const std::vector<std::string>& args)
{
    CommandLine line;
    std::string problem;
    if (!ParseCommandLine(args, {}, {"--passin"}, line, problem)) {
        return UsageError(problem);
    }
    if (line.paths.size() != 2) {
        return UsageError("sign takes a checksum list and a private key");
    }
    const std::filesystem::path list = PathFromUtf8(line.paths[0]);
    const std::filesystem::path key = PathFromUtf8(line.paths[1]);
    for (const std::filesystem::path& input : {list, key}) {
        if (!(problem = InputProblem(input, false)).empty()) {
            return UsageError(problem);
        }
    }
    if (!(problem = OutputProblem(SignaturePathOf(list), {list, key})).empty()) {
        return UsageError(problem);
    }
    std::string passphrase;
    if (line.options.count("--passin") != 0 && !ReadPassphrase(line.options["--passin"], passphrase, problem)) {
        return UsageError(problem);
    }
    SignedList result;
    std::string message;
    if (!SignChecksumList(list, key, line.options.count("--passin") != 0 ? &passphrase : nullptr, result, message)) {
        return Refused(message);
    }
    std::printf("key fingerprint %s\n", result.fingerprint.c_str());
    if (result.release == 0) {
        std::printf("warning: %s: %s\n", PathToUtf8(list).c_str(), NO_RELEASE_LINE);
    }
    std::printf("%s %s (release %llu); upload it together with %s, last\n", result.replaced ? "replaced" : "wrote",
                PathToUtf8(SignaturePathOf(list)).c_str(), static_cast<unsigned long long>(result.release),
                PathToUtf8(list).c_str());
    return 0;
}
#endif

int VerifyCommand(const std::vector<std::string>& args)
{
    CommandLine line;
    std::string problem;
    if (!ParseCommandLine(args, {}, {}, line, problem)) {
        return UsageError(problem);
    }
    if (line.paths.size() != 2 && line.paths.size() != 3) {
        return UsageError("verify takes a checksum list, a public key and optionally the release's folder");
    }
    for (size_t i = 0; i < line.paths.size(); ++i) {
        if (!(problem = InputProblem(PathFromUtf8(line.paths[i]), i == 2)).empty()) {
            return UsageError(problem);
        }
    }
    const std::filesystem::path list = PathFromUtf8(line.paths[0]);
    ChecksumList parsed{};
    std::string fingerprint;
    std::string message;
    if (!VerifyChecksumListFiles(list, PathFromUtf8(line.paths[1]), parsed, fingerprint, message)) {
        if (!fingerprint.empty()) {
            std::printf("key fingerprint %s\n", fingerprint.c_str());
        }
        return Refused(message);
    }
    std::printf("key fingerprint %s\n", fingerprint.c_str());
    Findings findings;
    if (line.paths.size() == 3) {
        CheckListedFiles(parsed, PathFromUtf8(line.paths[2]), findings);
    }
    if (parsed.release == 0) {
        findings.warnings.push_back(PathToUtf8(list) + ": " + NO_RELEASE_LINE);
    }
    for (const std::string& error : findings.errors) {
        std::printf("error: %s\n", error.c_str());
    }
    for (const std::string& warning : findings.warnings) {
        std::printf("warning: %s\n", warning.c_str());
    }
    if (!findings.errors.empty()) {
        std::printf("FAILED: the signature is good, but %zu listed file(s) differ from the list\n",
                    findings.errors.size());
        return EXIT_REFUSED;
    }
    std::printf("OK: a player's updater built with this key accepts %s and its signature, release %llu\n",
                PathToUtf8(list).c_str(), static_cast<unsigned long long>(parsed.release));
    return 0;
}
