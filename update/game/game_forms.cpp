// Choosing and fetching the game's smaller forms: the delta from the installed release, then the gzipped game, each
// fetched whole beside the game and turned into "vorlance_new.exe".
#include "update/game/game_forms.h"

#include <functional>
#include <new>

namespace {

const size_t DELTA_NAME_DIGITS = 16;

// Turns a fetched form into the new game; false when its bytes do not give the listed game.
using FormMaker = std::function<bool(const std::wstring& formPath, const std::wstring& newPath)>;

// Fetches one form from the first mirror that serves its listed bytes and makes the new game of it. refused is set
// when the folder refused the form's file.
bool TryForm(const std::vector<const wchar_t*>& mirrors, const std::string& name, const Sha256Digest& digest,
             HWND window, const std::wstring& formPath, const std::wstring& newPath, const FormMaker& make,
             const FileCheck& isUsable, bool& refused)
{
    DownloadFailure failure;
    const bool fetched = DownloadFromMirrors(mirrors.data(), mirrors.size(), std::wstring(name.begin(), name.end()),
                                             formPath, window, &digest, nullptr, failure);
    refused = IsWriteRefusal(failure.refusedError);
    if (!fetched) {
        return false;
    }
    const bool made = make(formPath, newPath);
    DeleteFileW(MakeLongPath(formPath).c_str());
    // The new game faces the same check as a game fetched whole.
    if (made && isUsable && !isUsable(newPath)) {
        DeleteFileW(MakeLongPath(newPath).c_str());
        return false;
    }
    return made;
}

bool FetchListedForm(const std::wstring& programDirectory, HWND window, const ChecksumList& list,
                     const Sha256Digest* installedGame, const std::vector<const wchar_t*>& mirrors,
                     const FileCheck& isUsable)
{
    const std::wstring gamePath = programDirectory + L"vorlance.exe";
    const std::wstring newPath = programDirectory + L"vorlance_new.exe";
    const std::string deltaName = installedGame != nullptr ? GameDeltaName(*installedGame) : std::string();
    const Sha256Digest* delta = installedGame != nullptr ? FindListedFile(list, deltaName) : nullptr;
    const Sha256Digest* gzip = FindListedFile(list, GAME_GZIP_NAME);
    if (delta == nullptr && gzip == nullptr) {
        return false;
    }
    // Fetched under an aside name, so that the sweep at the next start removes what a killed run left.
    const std::wstring formPath = FreeAsideName(newPath);
    if (formPath.empty()) {
        return false;
    }
    const std::wstring longFormPath = MakeLongPath(formPath);
    const TemporaryFile form(&longFormPath);
    bool refused = false;
    if (delta != nullptr) {
        const FormMaker apply = [&](const std::wstring& from, const std::wstring& to) {
            return ApplyGameDelta(from, gamePath, *installedGame, list.gameExecutable, to);
        };
        if (TryForm(mirrors, deltaName, *delta, window, formPath, newPath, apply, isUsable, refused)) {
            return true;
        }
    }
    if (gzip != nullptr && !refused) {
        const FormMaker inflate = [&](const std::wstring& from, const std::wstring& to) {
            return InflateGameGzip(from, to, list.gameExecutable);
        };
        return TryForm(mirrors, GAME_GZIP_NAME, *gzip, window, formPath, newPath, inflate, isUsable, refused);
    }
    return false;
}

} // namespace

std::string GameDeltaName(const Sha256Digest& installedGame)
{
    return "game.exe.from-" + FormatDigestHex(installedGame).substr(0, DELTA_NAME_DIGITS);
}

bool FetchGameForm(const std::wstring& programDirectory, HWND window, const ChecksumList& list,
                   const Sha256Digest* installedGame, const std::vector<const wchar_t*>& mirrors,
                   const FileCheck& isUsable)
{
    try {
        return FetchListedForm(programDirectory, window, list, installedGame, mirrors, isUsable);
    } catch (const std::bad_alloc&) {
        return false;
    }
}
