#pragma once

#include "update/checksum_list.h"

#include <windows.h>

#include <cstdint>
#include <string>

// The updater replaces itself with the "updater.exe" a checksum list names, once that program has proved on this
// machine that it fetches and verifies the current list with its own mirrors and keys and finds itself listed.

// The name the new updater waits under in the program directory until it is qualified and takes the updater's name.
const wchar_t UPDATER_CANDIDATE_NAME[] = L"VorlanceUpdater_new.exe";
// The hashes of new updaters that failed to qualify, one lower-case hex digest a line, beside the release record.
const wchar_t UPDATER_REFUSED_NAME[] = L"vorlance_updater_refused.txt";
// How long a candidate has to answer, from its start.
const DWORD QUALIFY_LIMIT_MS = 60000;
// The bounds of a plausible updater: smaller is an error page or a stub, larger no updater of ours.
const uint64_t UPDATER_MIN_BYTES = 64 * 1024;
const uint64_t UPDATER_MAX_BYTES = 64ull * 1024 * 1024;

// What the updater that fetched a candidate asks of it, from the command line only the updater makes:
// "<candidate>" --qualify <pipe name> <release>.
struct QualificationRequest {
    std::wstring pipeName;
    uint64_t release = 0; // the candidate takes no list older than the one that named it
};

// True when the command line asks for a qualification, with the request read from it. A player's start (no
// arguments, or any others) is none. Throws std::bad_alloc.
bool ReadQualificationRequest(const wchar_t* commandLine, QualificationRequest& request);

// The candidate's side: fetches the list from this build's mirrors, verifies it with this build's keys, finds this
// executable's own hash listed as "updater.exe", and only then answers the challenge on the pipe. Shows nothing,
// writes nothing. Returns the process's exit code (0: answered). Never throws.
int AnswerQualification(const QualificationRequest& request);

// The answer to a challenge: its release (8 bytes, little-endian), whether the candidate carries release keys
// (1 byte), and SHA-256 over the challenge, the candidate's own SHA-256, and those 9 bytes.
const size_t CHALLENGE_BYTES = 32;
const size_t ANSWER_BYTES = 8 + 1 + 32;

// Writes the answer for challenge into answer. False when the system's hash provider fails.
bool MakeQualificationAnswer(const unsigned char* challenge, const Sha256Digest& ownDigest, uint64_t release,
                             bool keyed, unsigned char* answer);

// The updater's side: starts the candidate hidden (SW_HIDE, no console; it shows no window of its own), gives it a
// random challenge over a named pipe and judges its answer, ending it at limitMs at the latest. True only for the right
// answer, from that process, about a list of listRelease or newer, and, when this build carries release keys, from a
// build that carries them too. The candidate has ended when this returns. Throws std::bad_alloc.
bool QualifyCandidate(const std::wstring& candidatePath, const Sha256Digest& listedDigest, uint64_t listRelease,
                      DWORD limitMs);

// True when the file is a Windows executable (not a library) of a plausible updater's size.
bool LooksLikeUpdater(const std::wstring& path);

// Gives the running updater's name to the qualified candidate, flushed first: one replacing rename where Windows
// allows it, else the running file renamed aside and the candidate renamed into its name, the running file put back
// when that fails. True when the candidate holds the name. Throws std::bad_alloc, never once it has renamed.
bool SwapInUpdater(const std::wstring& candidatePath, const std::wstring& runningPath);

// When the list names an "updater.exe" other than the file at runningPath, and it failed no earlier qualification
// while named: fetches it as UPDATER_CANDIDATE_NAME, checked against its listed hash as it arrives, qualifies it and
// swaps it in. A candidate that fails to qualify is deleted and its hash remembered. Never stops the run: nothing
// here throws.
void UpdateUpdater(const std::wstring& programDirectory, HWND window, const ChecksumList& list,
                   const std::wstring& runningPath, DWORD limitMs = QUALIFY_LIMIT_MS);

// A power cut between the swap's two renames leaves the updater's name empty, the previous updater under an aside
// name of it, and the qualified new one under UPDATER_CANDIDATE_NAME, the only updater a player can still start.
// Started so (ownPath), it renames itself to that free name. True when it did. Throws std::bad_alloc.
bool RestoreUpdaterName(const std::wstring& programDirectory, const std::wstring& ownPath);

// At the start of a run: restores the updater's name as above, or else deletes a candidate an interrupted run left
// (moves it aside when it still runs), which is never started without qualifying again. Never throws.
void SettleUpdaterCandidate(const std::wstring& programDirectory, const std::wstring& ownPath);

// The full path of this process's own executable, whatever the player named it; empty when it cannot be read.
// Throws std::bad_alloc.
std::wstring OwnExecutablePath();
