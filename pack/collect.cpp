// The folder that "pack build" packs: what it holds, as the updater will name it, and what it must refuse.
#include "pack/pack.h"

#include "archive/archive.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace fs = std::filesystem;

namespace {

// The name of one folder entry below the packed folder, as stored; false when this platform's name is not Unicode.
bool ComponentUtf8(const fs::path& component, std::string& utf8)
{
#ifdef _WIN32
    utf8 = WideToUtf8(component.wstring());
    const std::wstring back = DecodeUtf8(utf8.data(), utf8.size());
    return back == component.wstring();
#else
    utf8 = component.native();
    const std::wstring decoded = DecodeUtf8(utf8.data(), utf8.size());
    return WideToUtf8(decoded) == utf8;
#endif
}

// Refuses, with the reason, a name the updater would refuse or could not create, and a backslash in a name: the
// updater takes it for a separator, which the studio's folder did not mean.
void CheckItemName(const std::string& name, const std::string& shown, bool folder, Findings& findings)
{
    if (name.find('\\') != std::string::npos) {
        findings.errors.push_back(shown + ": the name holds a backslash, which the updater takes for a separator");
        return;
    }
    std::wstring path = DecodeUtf8(name.data(), name.size());
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (!IsSafeEntryName(path)) {
        findings.errors.push_back(shown + ": the updater refuses this name (\":\", a NUL or \"..\")");
        return;
    }
    CheckWindowsPath(folder ? path + L"\\" : path, shown, findings);
}

// A component in ASCII upper case, for comparing names as Windows does for the few fixed ones below.
std::string UpperAscii(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
    return text;
}

// Files the desktops write into every folder they show; never the game's.
bool IsDesktopFile(const std::string& component)
{
    const std::string upper = UpperAscii(component);
    return upper == ".DS_STORE" || upper == "THUMBS.DB" || upper == "DESKTOP.INI";
}

// What the walk below folder found so far, by each path as NTFS folds its case.
using FoldedNames = std::map<std::wstring, std::string>;

// Refuses a second name that differs from an earlier one only in case: Windows keeps one of them.
void CheckCaseTwin(const std::string& name, const std::string& shown, FoldedNames& folded, Findings& findings)
{
    const auto inserted = folded.emplace(FoldCase(DecodeUtf8(name.data(), name.size())), shown);
    if (!inserted.second) {
        findings.errors.push_back(shown + " and " + inserted.first->second +
                                  ": the names differ only in case, and Windows keeps one of them");
    }
}

// Collects the files and empty folders below folder; symbolic links and special files are refused, never followed.
void Collect(const fs::path& folder, const std::string& prefix, std::vector<PackItem>& items, FoldedNames& folded,
             Findings& findings)
{
    std::error_code error;
    fs::directory_iterator it(folder, error);
    size_t found = 0;
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const fs::path& source = it->path();
        std::string component;
        const std::string shown = PathToUtf8(source);
        if (!ComponentUtf8(source.filename(), component)) {
            ++found;
            findings.errors.push_back(shown + ": the name is not valid Unicode (UTF-8)");
            continue;
        }
        const std::string name = prefix + component;
        const fs::file_status status = fs::symlink_status(source, error);
        if (error) {
            break;
        }
        if (fs::is_regular_file(status) && IsDesktopFile(component)) {
            std::printf("note: skipped %s (the desktop writes it; it is no file of the game's)\n", shown.c_str());
            continue;
        }
        ++found;
        if (fs::is_symlink(status)) {
            findings.errors.push_back(shown + ": a symbolic link; packages hold plain files, and links are not "
                                              "followed");
        } else if (fs::is_directory(status)) {
            if (UpperAscii(component) == ".GIT") {
                findings.warnings.push_back(shown + ": a git repository's own folder; it is packed, and every player "
                                                    "downloads it");
            }
            CheckItemName(name, shown, true, findings);
            CheckCaseTwin(name, shown, folded, findings);
            Collect(source, name + "/", items, folded, findings);
        } else if (fs::is_regular_file(status)) {
            const std::string upper = UpperAscii(component);
            if (upper.size() > 4 && upper.compare(upper.size() - 4, 4, ".PDB") == 0) {
                findings.warnings.push_back(shown + ": debugging symbols (.pdb); they are packed, and every player "
                                                    "downloads them");
            }
            CheckItemName(name, shown, false, findings);
            CheckCaseTwin(name, shown, folded, findings);
            items.push_back(PackItem{name, source, false});
        } else {
            findings.errors.push_back(shown + ": neither a file nor a folder");
        }
    }
    if (error) {
        findings.errors.push_back(PathToUtf8(folder) + ": cannot list it: " + error.message());
        return;
    }
    if (found == 0 && !prefix.empty()) {
        items.push_back(PackItem{prefix, folder, true});
    }
}

} // namespace

void CollectFolder(const fs::path& folder, std::vector<PackItem>& items, Findings& findings)
{
    FoldedNames folded;
    Collect(folder, std::string(), items, folded, findings);
}
