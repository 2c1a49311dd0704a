#include "fs/fs.h"

#include "fs/handles.h"

#include <windows.h>

namespace {

enum class LevelResult { COMPLETE, INCOMPLETE, STOPPED };

// True for the "." and ".." entries a directory search lists besides the real ones.
bool IsDotEntry(const wchar_t* name)
{
    return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

LevelResult WalkLevel(const std::wstring& folder, const wchar_t* pattern, WalkOrder order,
                      const DirectoryVisitor& visit)
{
    WIN32_FIND_DATAW found = {};
    // Extended-length like every other call on these paths: a tree that extraction made deeper than the classic
    // limit must be searchable too.
    FindHandle search = StartFind(MakeLongPath(folder + pattern), found);
    if (!search) {
        // Nothing matching is a whole answer; anything else means the folder could not be listed.
        return GetLastError() == ERROR_FILE_NOT_FOUND ? LevelResult::COMPLETE : LevelResult::INCOMPLETE;
    }
    bool complete = true;
    do {
        if (IsDotEntry(found.cFileName)) {
            continue;
        }
        DirectoryEntry entry;
        entry.name = found.cFileName;
        entry.path = folder + entry.name;
        entry.directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        // A junction or directory link may point anywhere, the player's documents included: it is never entered, so
        // that a walk cannot reach outside its tree.
        const bool enter = order != WalkOrder::ONE_LEVEL && entry.directory && !entry.link;
        if (!(enter && order == WalkOrder::CONTENTS_FIRST) && !visit(entry)) {
            return LevelResult::STOPPED;
        }
        if (enter) {
            const LevelResult below = WalkLevel(entry.path + L"\\", pattern, order, visit);
            if (below == LevelResult::STOPPED) {
                return below;
            }
            complete = complete && below == LevelResult::COMPLETE;
            if (order == WalkOrder::CONTENTS_FIRST && !visit(entry)) {
                return LevelResult::STOPPED;
            }
        }
    } while (FindNextFileW(search.get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES && complete ? LevelResult::COMPLETE : LevelResult::INCOMPLETE;
}

} // namespace

bool WalkDirectory(const std::wstring& directory, const wchar_t* pattern, WalkOrder order,
                   const DirectoryVisitor& visit)
{
    return WalkLevel(WithTrailingBackslash(directory), pattern, order, visit) == LevelResult::COMPLETE;
}
