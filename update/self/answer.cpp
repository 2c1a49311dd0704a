#include "update/self/self_update.h"

#include "update/signature.h"
#include "update/update.h"

#include "fs/fs.h"
#include "fs/handles.h"

#include <exception>
#include <vector>

namespace {

const wchar_t QUALIFY_SWITCH[] = L"--qualify";
const DWORD MODULE_PATH_FIRST_CHARS = 520;

enum AnswerExit { ANSWERED = 0, NOT_QUALIFIED = 1, NO_PIPE = 2 };

// The next blank-separated word of a command line; the first one may be quoted, as CreateProcessW wants a path.
std::wstring NextWord(const wchar_t*& at)
{
    while (*at == L' ' || *at == L'\t') {
        ++at;
    }
    std::wstring word;
    if (*at == L'"') {
        for (++at; *at != L'\0' && *at != L'"'; ++at) {
            word.push_back(*at);
        }
        if (*at == L'"') {
            ++at;
        }
        return word;
    }
    for (; *at != L'\0' && *at != L' ' && *at != L'\t'; ++at) {
        word.push_back(*at);
    }
    return word;
}

bool ReadWhole(HANDLE pipe, unsigned char* bytes, DWORD length)
{
    DWORD done = 0;
    while (done < length) {
        DWORD read = 0;
        if (!ReadFile(pipe, bytes + done, length - done, &read, nullptr) || read == 0) {
            return false;
        }
        done += read;
    }
    return true;
}

int Answer(const QualificationRequest& request)
{
    Sha256Digest own{};
    if (!HashFileSha256(OwnExecutablePath(), own)) {
        return NOT_QUALIFIED;
    }
    // The very fetch a run makes, with this build's own mirrors and keys: a list no older than the one that named
    // this program, verified, and naming this program's own bytes.
    ChecksumList list;
    if (FetchChecksumList(list, request.release) != ListOffer::TAKEN) {
        return NOT_QUALIFIED;
    }
    const Sha256Digest* listed = FindListedFile(list, "updater.exe");
    if (listed == nullptr || *listed != own) {
        return NOT_QUALIFIED;
    }
    const HANDLE opened = CreateFileW(request.pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return NO_PIPE;
    }
    KernelHandle pipe(opened);
    unsigned char challenge[CHALLENGE_BYTES] = {};
    unsigned char answer[ANSWER_BYTES] = {};
    DWORD written = 0;
    if (!ReadWhole(pipe.get(), challenge, sizeof(challenge)) ||
        !MakeQualificationAnswer(challenge, own, list.release, ReleaseKeysBuiltIn(), answer) ||
        !WriteFile(pipe.get(), answer, sizeof(answer), &written, nullptr) || written != sizeof(answer)) {
        return NO_PIPE;
    }
    // Returns once the updater has read the answer, so that the end of this process never races it.
    FlushFileBuffers(pipe.get());
    return ANSWERED;
}

} // namespace

bool ReadQualificationRequest(const wchar_t* commandLine, QualificationRequest& request)
{
    const wchar_t* at = commandLine;
    NextWord(at); // the program itself
    if (NextWord(at) != QUALIFY_SWITCH) {
        return false;
    }
    request.pipeName = NextWord(at);
    const std::wstring release = NextWord(at);
    if (request.pipeName.compare(0, 9, L"\\\\.\\pipe\\") != 0 || !NextWord(at).empty()) {
        return false;
    }
    return ParseReleaseNumber(std::string(release.begin(), release.end()), request.release) || release == L"0";
}

int AnswerQualification(const QualificationRequest& request)
{
    try {
        return Answer(request);
    } catch (const std::exception&) {
        return NOT_QUALIFIED;
    }
}

bool MakeQualificationAnswer(const unsigned char* challenge, const Sha256Digest& ownDigest, uint64_t release,
                             bool keyed, unsigned char* answer)
{
    for (int i = 0; i < 8; ++i) {
        answer[i] = static_cast<unsigned char>(release >> (8 * i));
    }
    answer[8] = keyed ? 1 : 0;
    const Sha256Stream hash = StartSha256();
    Sha256Digest digest{};
    if (!hash || !AddSha256(hash, challenge, CHALLENGE_BYTES) || !AddSha256(hash, ownDigest.data(), ownDigest.size()) ||
        !AddSha256(hash, answer, 9) || !FinishSha256(hash, digest)) {
        return false;
    }
    std::copy(digest.begin(), digest.end(), answer + 9);
    return true;
}

std::wstring OwnExecutablePath()
{
    std::vector<wchar_t> buffer(MODULE_PATH_FIRST_CHARS, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return std::wstring();
        }
        if (length < buffer.size()) {
            return std::wstring(buffer.data(), length);
        }
        buffer.assign(buffer.size() * 2, L'\0');
    }
}
