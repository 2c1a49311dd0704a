#include "download/download.h"

#include "tests/common/test_support.h"
#include "tests/mirror/mirror_client.h"

#include <psapi.h>

#include <algorithm>
#include <new>
#include <sstream>
#include <string>
#include <vector>

namespace {

const wchar_t FILE_NAME[] = L"game.exe";
// Short enough for a test. The mirror stalls for far longer and records whether the client left meanwhile, so no
// outcome depends on the machine's speed.
const DWORD TEST_STALL_MS = 1500;
const char STALL[] = R"("stall_ms": 60000)";

// Bytes that differ from offset to offset and from seed to seed, so that a file stitched together from two attempts
// cannot pass for either body.
std::string SampleBody(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (char& c : bytes) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string Text(const DownloadedBytes& bytes)
{
    return std::string(reinterpret_cast<const char*>(bytes.bytes.get()), bytes.size);
}

// Each scenario gets its own folder on the mirror with a "primary" and a "fallback" side, both serving game.exe.
class DownloadFromMirrorsTest : public TempFolderTest {
protected:
    void SetUp() override
    {
        TempFolderTest::SetUp();
        ASSERT_FALSE(MirrorRootFolder().empty());
        recorder = CreateRecorderWindow();
        ASSERT_NE(recorder, nullptr);
        destination = Path(L"vorlance_new.exe");
        NewScenario();
    }

    void TearDown() override
    {
        TakePosted(recorder);
        DestroyWindow(recorder);
        TempFolderTest::TearDown();
    }

    void NewScenario()
    {
        scenario = MakeMirrorScenario();
        primaryUrl = MirrorUrl(scenario + L"/primary/");
        fallbackUrl = MirrorUrl(scenario + L"/fallback/");
        DeleteFileW(destination.c_str());
        TakePosted(recorder);
    }

    // A base URL for the same scenario side on another port of the mirror.
    std::wstring UrlOnPort(const std::wstring& side, int port) const
    {
        return MirrorUrl(scenario + L"/" + side + L"/", port);
    }

    void Serve(const std::wstring& side, const std::string& body, const std::string& behaviour = std::string())
    {
        ServeFile(scenario + L"/" + side + L"/" + FILE_NAME, body);
        if (!behaviour.empty()) {
            SetBehaviour(scenario + L"/" + side + L"/" + FILE_NAME, behaviour);
        }
    }

    bool Download() { return DownloadWith(primaryUrl, fallbackUrl); }

    bool DownloadWith(const std::wstring& first, const std::wstring& second)
    {
        const wchar_t* const baseUrls[] = {first.c_str(), second.c_str()};
        DownloadFailure failure;
        return DownloadFromMirrors(baseUrls, 2, FILE_NAME, destination, recorder, nullptr, FileCheck(), failure,
                                   FILE_MAX_BYTES, TEST_STALL_MS);
    }

    // How often the mirror was asked for game.exe on one side of the current scenario ("LEFT": how often the client
    // closed the connection while the mirror stalled).
    int RequestsTo(const std::wstring& side, const std::string& method = "GET") const
    {
        const std::string expected = method + " /" + Utf8(scenario + L"/" + side + L"/" + FILE_NAME);
        const std::vector<std::string> requests = RequestsFor(scenario);
        return static_cast<int>(std::count(requests.begin(), requests.end(), expected));
    }

    // The mirror writes "LEFT" a moment after the client closed: waits for the expected count, up to a few seconds.
    int LeftFrom(const std::wstring& side, int expected) const
    {
        for (int i = 0; i < 100 && RequestsTo(side, "LEFT") < expected; ++i) {
            Sleep(50);
        }
        return RequestsTo(side, "LEFT");
    }

    std::vector<int> Progress() { return ProgressValues(TakePosted(recorder)); }

    // Which of the mirror's connections carried each request below the scenario, numbered 0, 1, ... as first used.
    std::vector<size_t> ConnectionsUsed() const
    {
        std::istringstream lines(ReadFileBytes(MirrorRootFolder() + L"\\" + scenario + L"\\connections.log"));
        std::vector<std::string> seen;
        std::vector<size_t> used;
        for (std::string line; std::getline(lines, line);) {
            const std::string number = line.substr(0, line.find(' '));
            used.push_back(static_cast<size_t>(std::find(seen.begin(), seen.end(), number) - seen.begin()));
            if (used.back() == seen.size()) {
                seen.push_back(number);
            }
        }
        return used;
    }

    HWND recorder = nullptr;
    std::wstring destination;
    std::wstring scenario;
    std::wstring primaryUrl;
    std::wstring fallbackUrl;
};

TEST_F(DownloadFromMirrorsTest, PrimaryServesTheWholeFileAndTheFallbackIsNeverAsked)
{
    const std::string primaryBody = SampleBody(200000, 1);
    Serve(L"primary", primaryBody);
    Serve(L"fallback", SampleBody(200000, 2));
    WriteFileBytes(destination, std::string(250000, 'x')); // a longer leftover must not survive past the new end

    EXPECT_TRUE(Download());

    EXPECT_EQ(ReadFileBytes(destination), primaryBody);
    EXPECT_EQ(RequestsTo(L"primary"), 1);
    EXPECT_EQ(RequestsTo(L"fallback"), 0);
}

TEST_F(DownloadFromMirrorsTest, FallbackServesWhenThePrimaryFailsBeforeTheBody)
{
    struct Case {
        const char* name;
        bool served;
        const char* behaviour;
        int port; // 0: the mirror's trusted port
        int primaryRequests;
    };
    const Case cases[] = {
        {"missing file", false, "", 0, 1},
        {"server error", true, R"({"status": 500})", 0, 1},
        {"partial content", true, R"({"status": 206})", 0, 1},
        {"not modified", true, R"({"status": 304})", 0, 1},
        {"nothing listening", true, "", 1, 0},
        // A refused certificate ends the attempt before any request is sent.
        {"untrusted CA", true, "", MirrorUntrustedPort(), 0},
        {"certificate for another host", true, "", MirrorWrongHostPort(), 0},
        {"a length past the cap for files", true, R"({"length": 1073741825})", 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewScenario();
        if (c.served) {
            Serve(L"primary", SampleBody(70000, 3), c.behaviour);
        }
        const std::string fallbackBody = SampleBody(90000, 4);
        Serve(L"fallback", fallbackBody);

        EXPECT_TRUE(DownloadWith(c.port == 0 ? primaryUrl : UrlOnPort(L"primary", c.port), fallbackUrl));

        EXPECT_EQ(ReadFileBytes(destination), fallbackBody);
        EXPECT_EQ(RequestsTo(L"primary"), c.primaryRequests);
        EXPECT_EQ(RequestsTo(L"fallback"), 1);
    }
}

TEST_F(DownloadFromMirrorsTest, FollowsARedirectToAServedFile)
{
    const std::string movedBody = SampleBody(80000, 5);
    ServeFile(scenario + L"/moved/game.bin", movedBody);
    SetBehaviour(scenario + L"/primary/game.exe", R"({"redirect": "/)" + Utf8(scenario) + R"(/moved/game.bin"})");
    Serve(L"fallback", SampleBody(80000, 6));

    EXPECT_TRUE(Download());

    EXPECT_EQ(ReadFileBytes(destination), movedBody);
    const std::vector<std::string> expected = {"GET /" + Utf8(scenario) + "/primary/game.exe",
                                               "GET /" + Utf8(scenario) + "/moved/game.bin"};
    EXPECT_EQ(RequestsFor(scenario), expected);
}

// A cut body is continued at the same mirror while each continuation brings new bytes, at most five times; a file
// replaced on the mirror meanwhile is taken whole, never spliced; what no continuation can finish goes to the
// fallback, which writes the file from its first byte. A trickle far below LOW_SPEED_BYTES a window is cut as a
// stall is, although a byte comes long before each receive timeout.
TEST_F(DownloadFromMirrorsTest, ACutBodyIsContinuedAtTheSameMirrorOrLeftForTheFallback)
{
    const std::string stall = STALL;
    struct Case {
        std::string behaviour;
        bool fromPrimary; // else the fallback's body
        int primaryRequests;
        int stallsLeft; // connections the client closed while the primary stalled or dripped
    };
    const Case cases[] = {
        {R"({"cut_each": 70000, "stall_ms": 300})", true, 5, 0},
        {R"({"cut_after": 100000, "first_only": true, )" + stall + "}", true, 2, 1},
        {R"({"cut_after": 100000, "first_only": true, "ignore_ranges": true})", true, 2, 0},
        {R"({"cut_each": 10000})", false, 6, 0},
        {R"({"cut_after": 200000})", false, 2, 0},
        {"{" + stall + "}", false, 2, 2},
        {R"({"cut_after": 100, "drip_ms": 100})", false, 6, 6},
        {R"({"cut_after": 100000, "weak_etag": true})", false, 1, 0},
        // Without a tag, a Last-Modified names one version only when it is a second older than the answer.
        {R"({"cut_after": 100000, "first_only": true, "etag": false, "age_s": -5})", false, 1, 0},
        {R"({"cut_after": 100000, "first_only": true, "etag": false, "age_s": 5})", true, 2, 0},
        {R"({"cut_after": 100000, "content_range": "bytes 0-9/300000"})", false, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.behaviour);
        NewScenario();
        const std::string primaryBody = SampleBody(300000, 7);
        Serve(L"primary", primaryBody, c.behaviour);
        const std::string fallbackBody = SampleBody(50000, 8); // shorter than what the primary left behind
        Serve(L"fallback", fallbackBody);

        EXPECT_TRUE(Download());

        EXPECT_EQ(ReadFileBytes(destination), c.fromPrimary ? primaryBody : fallbackBody);
        EXPECT_EQ(RequestsTo(L"primary"), c.primaryRequests);
        EXPECT_EQ(RequestsTo(L"fallback"), c.fromPrimary ? 0 : 1);
        EXPECT_EQ(LeftFrom(L"primary", c.stallsLeft), c.stallsLeft);
    }
}

TEST_F(DownloadFromMirrorsTest, AFileReplacedBetweenTheCutAndTheContinuationIsTakenWhole)
{
    const std::string newBody = SampleBody(280000, 41);
    ServeFile(scenario + L"/primary/next.bin", newBody);
    Serve(L"primary", SampleBody(300000, 40),
          R"({"cut_after": 150000, "first_only": true, "replace_with": "next.bin"})");

    EXPECT_TRUE(Download());

    EXPECT_EQ(ReadFileBytes(destination), newBody);
    EXPECT_EQ(RequestsTo(L"primary"), 2);
}

TEST_F(DownloadFromMirrorsTest, WhenBothMirrorsFailNoPartialFileRemains)
{
    WriteFileBytes(destination, "installed earlier");
    Serve(L"primary", SampleBody(300000, 9), R"({"cut_after": 100000})");
    Serve(L"fallback", SampleBody(300000, 10), R"({"status": 404})");

    EXPECT_FALSE(Download());

    EXPECT_FALSE(PathExists(destination));
    EXPECT_EQ(RequestsTo(L"fallback"), 1);

    NewScenario();
    Serve(L"primary", SampleBody(300000, 11), R"({"cut_after": 100000})");
    Serve(L"fallback", SampleBody(300000, 12), R"({"cut_after": 100000})");

    EXPECT_FALSE(Download());

    EXPECT_FALSE(PathExists(destination));
    EXPECT_EQ(RequestsTo(L"fallback"), 2);
}

TEST_F(DownloadFromMirrorsTest, WhenBothMirrorsFailBeforeTheBodyTheExistingFileIsUntouched)
{
    WriteFileBytes(destination, "installed earlier");
    Serve(L"primary", SampleBody(1000, 13), R"({"status": 500})");

    EXPECT_FALSE(DownloadWith(primaryUrl, MirrorUrl(scenario + L"/fallback/", 1)));

    EXPECT_EQ(ReadFileBytes(destination), "installed earlier");
    EXPECT_EQ(RequestsTo(L"primary"), 1);
    EXPECT_TRUE(Progress().empty());
}

TEST_F(DownloadFromMirrorsTest, BodiesWithoutALengthAreWrittenWithoutProgress)
{
    for (const char* behaviour : {R"({"no_length": true})", R"({"chunked": true})"}) {
        SCOPED_TRACE(behaviour);
        NewScenario();
        const std::string body = SampleBody(150000, 14);
        Serve(L"primary", body, behaviour);

        EXPECT_TRUE(Download());

        EXPECT_EQ(ReadFileBytes(destination), body);
        EXPECT_TRUE(Progress().empty());
        EXPECT_EQ(RequestsTo(L"fallback"), 0);
    }
}

TEST_F(DownloadFromMirrorsTest, AnEmptyBodyLeavesAnEmptyFile)
{
    WriteFileBytes(destination, "installed earlier");
    Serve(L"primary", std::string());

    EXPECT_TRUE(Download());

    EXPECT_TRUE(PathExists(destination));
    EXPECT_EQ(ReadFileBytes(destination), "");
    EXPECT_TRUE(Progress().empty());
    EXPECT_EQ(RequestsTo(L"fallback"), 0);
}

TEST_F(DownloadFromMirrorsTest, ADestinationThatCannotBeOpenedFailsBothAttemptsWithoutReadingTheBody)
{
    Serve(L"primary", SampleBody(200000, 15));
    Serve(L"fallback", SampleBody(200000, 16));

    WriteFileBytes(destination, "held by the game");
    const HANDLE holder =
        CreateFileW(destination.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const bool heldResult = Download();
    CloseHandle(holder);

    EXPECT_FALSE(heldResult);
    EXPECT_EQ(ReadFileBytes(destination), "held by the game");
    EXPECT_EQ(RequestsTo(L"primary"), 1);
    EXPECT_EQ(RequestsTo(L"fallback"), 1);
    EXPECT_TRUE(Progress().empty());

    const std::wstring missingFolder = Path(L"missing");
    destination = missingFolder + L"\\vorlance_new.exe";
    EXPECT_FALSE(Download());
    EXPECT_FALSE(PathExists(missingFolder));
    EXPECT_EQ(RequestsTo(L"primary"), 2);
    EXPECT_EQ(RequestsTo(L"fallback"), 2);
    EXPECT_TRUE(Progress().empty());
}

TEST_F(DownloadFromMirrorsTest, ProgressIsPostedAfterEveryBlock)
{
    Serve(L"primary", SampleBody(300000, 17));

    EXPECT_TRUE(Download());

    EXPECT_EQ(Progress(), (std::vector<int>{21, 43, 65, 87, 100}));
}

TEST_F(DownloadFromMirrorsTest, ProgressStartsAgainWhenTheFallbackTakesOver)
{
    Serve(L"primary", SampleBody(300000, 18), R"({"cut_after": 200000})");
    Serve(L"fallback", SampleBody(300000, 19));

    EXPECT_TRUE(Download());

    const std::vector<int> progress = Progress();
    ASSERT_GT(progress.size(), 5u);
    const std::vector<int> primaryPart(progress.begin(), progress.end() - 5);
    const std::vector<int> fallbackPart(progress.end() - 5, progress.end());
    EXPECT_TRUE(std::is_sorted(primaryPart.begin(), primaryPart.end()));
    EXPECT_LT(primaryPart.back(), 100); // the cut attempt never claims to be complete
    EXPECT_EQ(fallbackPart, (std::vector<int>{21, 43, 65, 87, 100}));
}

TEST_F(DownloadFromMirrorsTest, ProgressGoesOnAcrossAContinuation)
{
    Serve(L"primary", SampleBody(300000, 18), R"({"cut_after": 200000, "first_only": true})");

    EXPECT_TRUE(Download());

    EXPECT_EQ(Progress(), (std::vector<int>{21, 43, 65, 66, 88, 100}));
}

using DownloadAnyTest = DownloadFromMirrorsTest;

TEST_F(DownloadAnyTest, FetchesFromTheBuiltInPrimaryThenTheFallback)
{
    if (VORLANCE_HOSTS[0] != MirrorUrl(L"primary/vorlance/") || VORLANCE_HOSTS[1] != MirrorUrl(L"fallback/vorlance/")) {
        GTEST_SKIP() << "this build downloads from " << Utf8(VORLANCE_HOSTS[0]) << " and " << Utf8(VORLANCE_HOSTS[1])
                     << ", not from the test mirror (configure through scripts/test)";
    }
    // Names of their own: every test run shares the build's two fixed mirror folders.
    const std::wstring bothName = scenario + L"-both.bin";
    const std::wstring fallbackOnlyName = scenario + L"-fallback.bin";
    const std::string primaryBody = SampleBody(100000, 20);
    const std::string fallbackBody = SampleBody(100000, 21);
    ServeFile(L"primary/vorlance/" + bothName, primaryBody);
    ServeFile(L"fallback/vorlance/" + bothName, fallbackBody);
    ServeFile(L"fallback/vorlance/" + fallbackOnlyName, fallbackBody);

    DownloadFailure failure;
    EXPECT_TRUE(DownloadAny(bothName, destination, recorder, nullptr, FileCheck(), failure));
    EXPECT_EQ(ReadFileBytes(destination), primaryBody);

    EXPECT_TRUE(DownloadAny(fallbackOnlyName, destination, recorder, nullptr, FileCheck(), failure));
    EXPECT_EQ(ReadFileBytes(destination), fallbackBody);

    const std::vector<std::string> primaryRequests = RequestsFor(L"primary");
    const std::vector<std::string> fallbackRequests = RequestsFor(L"fallback");
    const auto count = [](const std::vector<std::string>& requests, const std::wstring& path) {
        return std::count(requests.begin(), requests.end(), "GET /" + Utf8(path));
    };
    EXPECT_EQ(count(primaryRequests, L"primary/vorlance/" + bothName), 1);
    EXPECT_EQ(count(primaryRequests, L"primary/vorlance/" + fallbackOnlyName), 1);
    EXPECT_EQ(count(fallbackRequests, L"fallback/vorlance/" + bothName), 0);
    EXPECT_EQ(count(fallbackRequests, L"fallback/vorlance/" + fallbackOnlyName), 1);
}

// Into memory, a body is taken only whole and within the limit; one that the caller's check refuses, or one past the
// limit, is a failed attempt, and the other mirror's body is taken.
TEST_F(DownloadFromMirrorsTest, MemoryTransfersKeepTheirLimitAndFallBackFromUnusableBodies)
{
    const std::string good = SampleBody(5000, 30);
    const BytesCheck notHtml = [](const DownloadedBytes& body) { return body.size > 0 && body.bytes[0] != '<'; };
    struct Case {
        const char* what;
        std::string primary;
        std::string behaviour;
        bool unusable;
        bool tooLarge;
    };
    const Case cases[] = {
        {"an error page", "<html>parked</html>", "", true, false},
        {"an announced length past the limit", SampleBody(5001, 31), "", false, true},
        {"a body without a length past the limit", SampleBody(5001, 32), "{\"no_length\": true}", false, true},
        {"a body cut short", SampleBody(4000, 33), "{\"cut_after\": 1000}", false, false},
    };
    for (const Case& c : cases) {
        NewScenario();
        Serve(L"primary", c.primary, c.behaviour);
        Serve(L"fallback", good);
        const wchar_t* const baseUrls[] = {primaryUrl.c_str(), fallbackUrl.c_str()};
        DownloadedBytes body;
        DownloadFailure failure;
        ASSERT_TRUE(
            DownloadFromMirrorsToMemory(baseUrls, 2, FILE_NAME, recorder, 5000, nullptr, notHtml, body, failure))
            << c.what;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(body.bytes.get()), body.size), good) << c.what;
        EXPECT_FALSE(PathExists(destination)) << c.what;

        // Without the fallback, the reason is told.
        const wchar_t* const primaryOnly[] = {primaryUrl.c_str()};
        EXPECT_FALSE(
            DownloadFromMirrorsToMemory(primaryOnly, 1, FILE_NAME, recorder, 5000, nullptr, notHtml, body, failure))
            << c.what;
        EXPECT_EQ(failure.unusable, c.unusable) << c.what;
        EXPECT_EQ(failure.tooLarge, c.tooLarge) << c.what;
    }
}

TEST_F(DownloadFromMirrorsTest, MemoryTransfersContinueACutBodyAndLeaveAMirrorWhereMemoryRanOut)
{
    const std::string primaryBody = SampleBody(300000, 34);
    const std::string fallbackBody = SampleBody(1000, 35);
    Serve(L"primary", primaryBody, R"({"cut_after": 100000, "first_only": true})");
    Serve(L"fallback", fallbackBody);
    const wchar_t* const baseUrls[] = {primaryUrl.c_str(), fallbackUrl.c_str()};
    DownloadedBytes body;
    DownloadFailure failure;
    ASSERT_TRUE(
        DownloadFromMirrorsToMemory(baseUrls, 2, FILE_NAME, recorder, 300000, nullptr, BytesCheck(), body, failure));
    EXPECT_EQ(Text(body), primaryBody);
    EXPECT_EQ(RequestsTo(L"primary"), 2);

    // Memory that runs out while the primary's body is judged is a failed attempt there, on disk as in memory.
    const BytesCheck exhausting = [](const DownloadedBytes& bytes) {
        return bytes.size == 1000 ? true : throw std::bad_alloc();
    };
    ASSERT_TRUE(
        DownloadFromMirrorsToMemory(baseUrls, 2, FILE_NAME, recorder, 300000, nullptr, exhausting, body, failure));
    EXPECT_EQ(Text(body), fallbackBody);
    const FileCheck exhaustingFile = [&](const std::wstring& path) {
        return ReadFileBytes(path) == fallbackBody ? true : throw std::bad_alloc();
    };
    ASSERT_TRUE(DownloadFromMirrors(baseUrls, 2, FILE_NAME, destination, recorder, nullptr, exhaustingFile, failure));
    EXPECT_EQ(ReadFileBytes(destination), fallbackBody);
}

// A mirror that announces a gibibyte and sends little costs little memory: the peak commit charge of this process
// stays far below the announced length.
TEST_F(DownloadFromMirrorsTest, AnAnnouncedGibibyteCostsNothingUntilItsBytesCome)
{
    PROCESS_MEMORY_COUNTERS before = {};
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before)));
    Serve(L"primary", SampleBody(100000, 36), R"({"length": 1073741824})");
    Serve(L"fallback", SampleBody(1000, 37));
    const wchar_t* const baseUrls[] = {primaryUrl.c_str(), fallbackUrl.c_str()};
    DownloadedBytes body;
    DownloadFailure failure;
    EXPECT_TRUE(DownloadFromMirrorsToMemory(baseUrls, 2, FILE_NAME, recorder, 2048u * 1024 * 1024, nullptr,
                                            BytesCheck(), body, failure));
    EXPECT_EQ(body.size, 1000u);
    PROCESS_MEMORY_COUNTERS after = {};
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after)));
    EXPECT_LT(after.PeakPagefileUsage - before.PeakPagefileUsage, 64u * 1024 * 1024);
}

// A part of a file is taken from a 206 only when it names exactly the range asked and the file's size; a 200 is the
// whole file, taken when it fits.
TEST_F(DownloadFromMirrorsTest, FetchRangeTakesTheAskedPartOrTheWholeFile)
{
    const std::string body = SampleBody(300000, 50);
    struct Case {
        const char* behaviour;
        uint64_t offset;
        uint64_t length;
        size_t maxWholeBytes;
        RangeAnswer answer;
        int requests;
    };
    const Case cases[] = {
        {"{}", 1000, 5000, 0, RangeAnswer::PART, 1},
        {"{}", 299990, 10, 0, RangeAnswer::PART, 1},
        {R"({"cut_after": 100000, "first_only": true})", 50000, 200000, 0, RangeAnswer::PART, 2},
        {R"({"cut_after": 100, "first_only": true, "weak_etag": true})", 50000, 2000, 0, RangeAnswer::FAILED, 1},
        {R"({"ignore_ranges": true})", 1000, 5000, 300000, RangeAnswer::WHOLE_FILE, 1},
        {R"({"ignore_ranges": true})", 1000, 5000, 299999, RangeAnswer::FAILED, 1},
        {R"({"content_range": "bytes 1000-5999/300001"})", 1000, 5000, 300000, RangeAnswer::FAILED, 1},
        {R"({"content_range": "bytes 1001-6000/300000"})", 1000, 5000, 300000, RangeAnswer::FAILED, 1},
        {"{}", 300000, 10, 300000, RangeAnswer::FAILED, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.behaviour) + " at " + std::to_string(c.offset));
        NewScenario();
        Serve(L"primary", body, c.behaviour);
        RemoteFile file;
        file.url = primaryUrl + FILE_NAME;
        file.size = body.size(); // as a first request for the file's tail learns it
        DownloadedBytes out;

        EXPECT_EQ(FetchRange(file, c.offset, c.length, c.maxWholeBytes, nullptr, out, TEST_STALL_MS), c.answer);

        if (c.answer != RangeAnswer::FAILED) {
            EXPECT_EQ(Text(out), c.answer == RangeAnswer::PART ? body.substr(c.offset, c.length) : body);
            EXPECT_EQ(file.size, body.size());
        }
        EXPECT_EQ(RequestsTo(L"primary"), c.requests);
    }
}

// One file at one mirror has CONTINUATIONS_PER_MIRROR in all, whatever number of requests it takes: parts of 2500
// bytes cut every 1000 need two each, so the third finds one left; a trickle after that is left without another.
TEST_F(DownloadFromMirrorsTest, ContinuationsAreCountedPerFileAndMirror)
{
    const std::string body = SampleBody(300000, 53);
    Serve(L"primary", body, R"({"cut_each": 1000})");
    RemoteFile file;
    file.url = primaryUrl + FILE_NAME;
    DownloadedBytes out;
    ASSERT_EQ(FetchRange(file, 0, 2500, 0, nullptr, out, TEST_STALL_MS), RangeAnswer::PART);
    EXPECT_EQ(Text(out), body.substr(0, 2500));
    ASSERT_EQ(FetchRange(file, 10000, 2500, 0, nullptr, out, TEST_STALL_MS), RangeAnswer::PART);
    EXPECT_EQ(FetchRange(file, 20000, 2500, 0, nullptr, out, TEST_STALL_MS), RangeAnswer::FAILED);
    EXPECT_EQ(RequestsTo(L"primary"), 8);

    SetBehaviour(scenario + L"/primary/" + FILE_NAME, R"({"drip_ms": 100})");
    EXPECT_EQ(FetchRange(file, 30000, 2500, 0, nullptr, out, TEST_STALL_MS), RangeAnswer::FAILED);
    EXPECT_EQ(RequestsTo(L"primary"), 9);
    EXPECT_EQ(LeftFrom(L"primary", 1), 1);
}

TEST_F(DownloadFromMirrorsTest, FetchTailLearnsTheSizeAndAReplacedFileIsNeverSpliced)
{
    const std::string body = SampleBody(300000, 51);
    Serve(L"primary", body);
    RemoteFile file;
    file.url = primaryUrl + FILE_NAME;
    DownloadedBytes out;
    ASSERT_EQ(FetchTail(file, 22, 0, nullptr, out), RangeAnswer::PART);
    EXPECT_EQ(Text(out), body.substr(body.size() - 22));
    EXPECT_EQ(file.size, body.size());
    ASSERT_EQ(FetchTail(file, 400000, 0, nullptr, out), RangeAnswer::PART);
    EXPECT_EQ(Text(out), body);

    // The next release replaces the file: the validator learnt above makes the mirror send the new file whole.
    const std::string newBody = SampleBody(250000, 52);
    Serve(L"primary", newBody);
    TransferProgress progress;
    progress.window = recorder;
    progress.total = 1000;
    ASSERT_EQ(FetchRange(file, 1000, 1000, 300000, &progress, out), RangeAnswer::WHOLE_FILE);
    EXPECT_EQ(Text(out), newBody);
    EXPECT_EQ(file.size, newBody.size());
    EXPECT_EQ(Progress().back(), 100);
}

// Ranges of one file at one mirror go over one kept connection; when the mirror closes it unannounced between two
// requests, or a request that stalls takes it down, the next request is answered over a new one.
TEST_F(DownloadFromMirrorsTest, RangesFromOneMirrorShareOneKeptConnection)
{
    const std::string body = SampleBody(300000, 54);
    Serve(L"primary", body);
    RemoteFile file;
    file.url = primaryUrl + FILE_NAME;
    const auto fetchRanges = [&](const char* behaviour, int count) {
        SetBehaviour(scenario + L"/primary/" + FILE_NAME, behaviour);
        for (int i = 0; i < count; ++i) {
            DownloadedBytes out;
            ASSERT_EQ(FetchRange(file, i * 20000u, 1000, 0, nullptr, out, TEST_STALL_MS), RangeAnswer::PART);
            EXPECT_EQ(Text(out), body.substr(i * 20000u, 1000));
        }
    };
    fetchRanges(R"({"keep_alive": 100})", 10);
    fetchRanges(R"({"keep_alive": 2})", 3); // the first of these ends the connection of the ten before
    fetchRanges(R"({"keep_alive": 100, "first_only": true, "stall_ms": 60000})", 3);

    const std::vector<size_t> expected = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 2, 3, 3, 3};
    EXPECT_EQ(ConnectionsUsed(), expected);
}

} // namespace
