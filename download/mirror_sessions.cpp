#include "download/download.h"

#include "download/download_internal.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

const wchar_t USER_AGENT[] = L"VorlanceUpdater/1.0";

// One mirror's handles. WinINet can keep a connection open for the next request of the same session, so that a
// patch's hundreds of ranged requests pay for one TCP and TLS handshake instead of one each. The session closes
// before its root (members go in reverse order).
struct OpenSession {
    INTERNET_SCHEME scheme = INTERNET_SCHEME_HTTPS;
    std::wstring host;
    INTERNET_PORT port = 0;
    InternetHandle root;
    InternetHandle session;
};

// The run's mirrors, a handful at most.
struct SessionTable {
    std::mutex lock;
    std::vector<OpenSession> sessions;
};

// Never destroyed: closing the window ends the process while the worker may still be fetching, and it must not meet
// a table already torn down. Whatever is open then goes with the process.
SessionTable& Sessions()
{
    static SessionTable& table = *new SessionTable;
    return table;
}

} // namespace

HINTERNET MirrorSession(INTERNET_SCHEME scheme, const std::wstring& host, INTERNET_PORT port)
{
    SessionTable& table = Sessions();
    const std::lock_guard<std::mutex> hold(table.lock);
    for (const OpenSession& open : table.sessions) {
        if (open.scheme == scheme && open.port == port && open.host == host) {
            return open.session.get();
        }
    }
    OpenSession opened;
    opened.scheme = scheme;
    opened.host = host;
    opened.port = port;
    opened.root.reset(InternetOpenW(USER_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!opened.root) {
        return nullptr;
    }
    opened.session.reset(
        InternetConnectW(opened.root.get(), host.c_str(), port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!opened.session) {
        return nullptr;
    }
    table.sessions.push_back(std::move(opened));
    return table.sessions.back().session.get();
}

void CloseMirrorSessions()
{
    SessionTable& table = Sessions();
    const std::lock_guard<std::mutex> hold(table.lock);
    table.sessions.clear();
}
