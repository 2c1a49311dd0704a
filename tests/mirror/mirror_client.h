#pragma once

#include <string>
#include <vector>

// The test HTTPS mirror (mirror.py, started by the CTest fixture "mirror") as a test sees it. A test lays out what
// the mirror serves by writing straight into its served folder, which Wine shows on the Z: drive.

// The served folder in Windows form, without a trailing backslash; empty (and a test failure) outside the fixture.
std::wstring MirrorRootFolder();

// The mirror's ports: a trusted localhost certificate, a trusted certificate for another host name, and a localhost
// certificate from a CA that is never trusted.
int MirrorPort();
int MirrorWrongHostPort();
int MirrorUntrustedPort();

// "https://localhost:PORT/" + path; path has no leading slash.
std::wstring MirrorUrl(const std::wstring& path, int port = MirrorPort());

// Creates a uniquely named folder directly below the served folder and returns its name. One per scenario, so that
// the scenario's requests.log holds its own requests only.
std::wstring MakeMirrorScenario();

// Serves bytes at relativePath ("/"-separated, below the served folder), creating the folders on the way.
void ServeFile(const std::wstring& relativePath, const std::string& bytes);

// Changes how the mirror answers for relativePath: a JSON object such as {"status": 404} or {"cut_after": 1000}.
void SetBehaviour(const std::wstring& relativePath, const std::string& json);

// The requests the mirror received for paths below a scenario, in arrival order, e.g. "GET /s1/primary/game.exe".
std::vector<std::string> RequestsFor(const std::wstring& scenario);

// The parts (206) the mirror answered below a scenario, in arrival order, e.g. "100-199 /s1/primary/lib.zip".
std::vector<std::string> RangesFor(const std::wstring& scenario);
