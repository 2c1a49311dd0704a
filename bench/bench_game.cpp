// Times the updater's application of a game delta, and the memory it takes:
//
//   bench_game.exe apply OLD_GAME DELTA NEW_GAME OUTPUT
//       hashes OLD_GAME and NEW_GAME first (the updater knows both digests before it applies: the installed game's
//       from its check, the listed one from the list), then times ApplyGameDelta from DELTA into OUTPUT; prints
//       seconds, new_bytes, start_working_set and peak_working_set (this process, in bytes) and ok (OUTPUT has
//       NEW_GAME's SHA-256)
//   bench_game.exe inflate GAME_GZ NEW_GAME OUTPUT
//       the same for InflateGameGzip, what the updater does with "game.exe.gz" when it has no delta
//   bench_game.exe idle
//       prints the peak working set of this program doing nothing, for comparison
#include "bench/bench_support.h"

#include "update/game/game_forms.h"

#include "fs/fs.h"

#include <psapi.h>

#include <functional>

namespace {

unsigned long long WorkingSetBytes()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)) ? counters.WorkingSetSize : 0;
}

// Times making OUTPUT from a form, NEW_GAME's digest known; what make does is timed alone.
int Make(const std::wstring& newGame, const std::wstring& output,
         const std::function<bool(const Sha256Digest& newDigest)>& make)
{
    Sha256Digest newDigest{};
    if (!HashFileSha256(newGame, newDigest)) {
        return Usage("cannot read the new game");
    }
    DeleteFileW(MakeLongPath(output).c_str());
    const unsigned long long startWorkingSet = WorkingSetBytes();
    const double start = NowSeconds();
    const bool made = make(newDigest);
    const double seconds = NowSeconds() - start;
    WIN32_FILE_ATTRIBUTE_DATA result = {};
    GetFileAttributesExW(MakeLongPath(output).c_str(), GetFileExInfoStandard, &result);
    PrintFigure("seconds", seconds);
    PrintCount("new_bytes", (static_cast<unsigned long long>(result.nFileSizeHigh) << 32) | result.nFileSizeLow);
    PrintCount("start_working_set", startWorkingSet);
    PrintCount("peak_working_set", PeakWorkingSetBytes());
    PrintCount("ok", made ? 1 : 0);
    return made ? 0 : 1;
}

} // namespace

int main()
{
    const std::vector<std::wstring> arguments = ProgramArguments();
    if (arguments.size() == 5 && arguments[0] == L"apply") {
        // The updater knows the installed game's digest from its check before it applies.
        Sha256Digest oldDigest{};
        if (!HashFileSha256(arguments[1], oldDigest)) {
            return Usage("cannot read the old game");
        }
        return Make(arguments[3], arguments[4], [&](const Sha256Digest& newDigest) {
            return ApplyGameDelta(arguments[2], arguments[1], oldDigest, newDigest, arguments[4]);
        });
    }
    if (arguments.size() == 4 && arguments[0] == L"inflate") {
        return Make(arguments[2], arguments[3], [&](const Sha256Digest& newDigest) {
            return InflateGameGzip(arguments[1], arguments[3], newDigest);
        });
    }
    if (arguments.size() == 1 && arguments[0] == L"idle") {
        PrintCount("peak_working_set", PeakWorkingSetBytes());
        return 0;
    }
    return Usage("usage: bench_game apply OLD_GAME DELTA NEW_GAME OUTPUT | inflate GAME_GZ NEW_GAME OUTPUT | idle");
}
