#include "update/self/self_update.h"

#include "update/signature.h"

#include "fs/fs.h"
#include "fs/handles.h"

#include <bcrypt.h>

#include <algorithm>
#include <vector>

namespace {

const DWORD PIPE_BUFFER_BYTES = 4096;
const size_t PIPE_NAME_RANDOM_BYTES = 16;
// An ended candidate is waited for this long at most, so that its file is free again.
const DWORD END_WAIT_MS = 10000;

bool FillRandom(unsigned char* bytes, size_t length)
{
    return BCryptGenRandom(nullptr, bytes, static_cast<ULONG>(length), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

std::wstring HexOf(const unsigned char* bytes, size_t length)
{
    std::wstring hex;
    for (size_t i = 0; i < length; ++i) {
        hex.push_back(L"0123456789abcdef"[bytes[i] >> 4]);
        hex.push_back(L"0123456789abcdef"[bytes[i] & 0xF]);
    }
    return hex;
}

DWORD RemainingMs(DWORD start, DWORD limitMs)
{
    const DWORD elapsed = GetTickCount() - start;
    return elapsed < limitMs ? limitMs - elapsed : 0;
}

// Waits for an overlapped operation on the pipe until the limit; the candidate's end (when given) ends the wait too.
// An operation still pending is cancelled and waited out, so that its buffer is never written after this returns.
bool FinishPipeOperation(HANDLE pipe, OVERLAPPED& overlapped, HANDLE process, DWORD start, DWORD limitMs,
                         DWORD& transferred)
{
    const HANDLE events[2] = {overlapped.hEvent, process};
    const DWORD waited = WaitForMultipleObjects(process != nullptr ? 2 : 1, events, FALSE, RemainingMs(start, limitMs));
    if (waited != WAIT_OBJECT_0) {
        CancelIo(pipe);
    }
    return GetOverlappedResult(pipe, &overlapped, &transferred, TRUE) && waited == WAIT_OBJECT_0;
}

// Starts a pipe operation: true when it finished at once or is under way.
bool Started(BOOL result)
{
    return result || GetLastError() == ERROR_IO_PENDING;
}

// Connects the candidate, sends the challenge and reads the answer, all before the limit.
bool Exchange(HANDLE pipe, HANDLE process, DWORD processId, const unsigned char* challenge, unsigned char* answer,
              DWORD start, DWORD limitMs)
{
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        return false;
    }
    KernelHandle eventHolder(event);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    DWORD transferred = 0;
    // A candidate that never connects (it failed, or it is no updater at all) is seen by its end or the limit.
    if (!ConnectNamedPipe(pipe, &overlapped)) {
        const DWORD error = GetLastError();
        if (error != ERROR_PIPE_CONNECTED &&
            (error != ERROR_IO_PENDING ||
             !FinishPipeOperation(pipe, overlapped, process, start, limitMs, transferred))) {
            return false;
        }
    }
    // Whoever else found the pipe's random name is not the candidate.
    ULONG clientId = 0;
    if (!GetNamedPipeClientProcessId(pipe, &clientId) || clientId != processId) {
        return false;
    }
    ResetEvent(event);
    if (!Started(WriteFile(pipe, challenge, CHALLENGE_BYTES, nullptr, &overlapped)) ||
        !FinishPipeOperation(pipe, overlapped, nullptr, start, limitMs, transferred) ||
        transferred != CHALLENGE_BYTES) {
        return false;
    }
    // The read alone is waited for: a candidate that ends before answering breaks the pipe, which ends the read.
    for (DWORD done = 0; done < ANSWER_BYTES; done += transferred) {
        ResetEvent(event);
        if (!Started(ReadFile(pipe, answer + done, static_cast<DWORD>(ANSWER_BYTES) - done, nullptr, &overlapped)) ||
            !FinishPipeOperation(pipe, overlapped, nullptr, start, limitMs, transferred) || transferred == 0) {
            return false;
        }
    }
    return true;
}

bool IsRightAnswer(const unsigned char* challenge, const unsigned char* answer, const Sha256Digest& listedDigest,
                   uint64_t listRelease)
{
    uint64_t release = 0;
    for (int i = 7; i >= 0; --i) {
        release = (release << 8) | answer[i];
    }
    const bool keyed = answer[8] == 1;
    unsigned char expected[ANSWER_BYTES] = {};
    // An updater that carries keys never gives way to one that takes unsigned lists: its players would lose the
    // signature check for good.
    return release >= listRelease && answer[8] <= 1 && (keyed || !ReleaseKeysBuiltIn()) &&
           MakeQualificationAnswer(challenge, listedDigest, release, keyed, expected) &&
           std::equal(expected, expected + ANSWER_BYTES, answer);
}

// A job that ends the candidate with this process, however this one ends: a killed run leaves no candidate running.
// Empty when the system refuses one (a process already in a job on Windows 7); the limit still holds.
KernelHandle MakeEndingJob()
{
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        return KernelHandle();
    }
    KernelHandle holder(job);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        return KernelHandle();
    }
    return holder;
}

} // namespace

bool QualifyCandidate(const std::wstring& candidatePath, const Sha256Digest& listedDigest, uint64_t listRelease,
                      DWORD limitMs)
{
    const DWORD start = GetTickCount();
    unsigned char challenge[CHALLENGE_BYTES] = {};
    unsigned char nameBytes[PIPE_NAME_RANDOM_BYTES] = {};
    if (!FillRandom(challenge, sizeof(challenge)) || !FillRandom(nameBytes, sizeof(nameBytes))) {
        return false;
    }
    const std::wstring pipeName = L"\\\\.\\pipe\\VorlanceUpdater-qualify-" + HexOf(nameBytes, sizeof(nameBytes));
    const HANDLE createdPipe =
        CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                         PIPE_BUFFER_BYTES, PIPE_BUFFER_BYTES, 0, nullptr);
    if (createdPipe == INVALID_HANDLE_VALUE) {
        return false;
    }
    KernelHandle pipe(createdPipe);
    const KernelHandle job = MakeEndingJob();

    std::wstring commandLine =
        L"\"" + candidatePath + L"\" --qualify " + pipeName + L" " + std::to_wstring(listRelease);
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    // Nothing of the candidate shows: no window, and not the busy cursor Windows gives a starting program.
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_FORCEOFFFEEDBACK;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started = {};
    // Suspended until it is in the job, so that no instant of it runs outside.
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr,
                        FolderOf(candidatePath).c_str(), &startup, &started)) {
        return false;
    }
    KernelHandle process(started.hProcess);
    KernelHandle thread(started.hThread);
    if (job) {
        AssignProcessToJobObject(job.get(), process.get());
    }
    ResumeThread(thread.get());

    unsigned char answer[ANSWER_BYTES] = {};
    const bool answered = Exchange(pipe.get(), process.get(), started.dwProcessId, challenge, answer, start, limitMs);
    // A qualified candidate ends by itself once it has answered; anything else is ended here.
    if (WaitForSingleObject(process.get(), answered ? RemainingMs(start, limitMs) : 0) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
    }
    WaitForSingleObject(process.get(), END_WAIT_MS);
    return answered && IsRightAnswer(challenge, answer, listedDigest, listRelease);
}
