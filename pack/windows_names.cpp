#include "pack/pack.h"

#include "archive/archive.h"

#include <algorithm>
#include <cstdio>

namespace {

// Names that Win32 maps to devices when they stand without the "\\?\" prefix, with or without an extension.
const wchar_t* const DEVICE_NAMES[] = {L"CON",  L"PRN",  L"AUX",  L"NUL",  L"COM1", L"COM2", L"COM3",   L"COM4",
                                       L"COM5", L"COM6", L"COM7", L"COM8", L"COM9", L"LPT1", L"LPT2",   L"LPT3",
                                       L"LPT4", L"LPT5", L"LPT6", L"LPT7", L"LPT8", L"LPT9", L"CONIN$", L"CONOUT$"};

bool IsDeviceName(const std::wstring& component)
{
    // "con.txt" and "CON .dll" name the console too: the part before the first dot, trailing spaces ignored.
    std::wstring base = component.substr(0, component.find(L'.'));
    while (!base.empty() && base.back() == L' ') {
        base.pop_back();
    }
    for (const wchar_t* device : DEVICE_NAMES) {
        const std::wstring name(device);
        if (base.size() != name.size()) {
            continue;
        }
        bool same = true;
        for (size_t i = 0; i < base.size() && same; ++i) {
            const wchar_t c = base[i];
            same = (c >= L'a' && c <= L'z' ? c - (L'a' - L'A') : c) == name[i];
        }
        if (same) {
            return true;
        }
    }
    return false;
}

} // namespace

bool IsAscii(const std::string& bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string Printable(const std::wstring& name)
{
    std::string shown;
    std::wstring run;
    for (const wchar_t c : name) {
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", static_cast<unsigned>(c));
            shown += WideToUtf8(run) + escaped;
            run.clear();
        } else {
            run.push_back(c);
        }
    }
    return shown + WideToUtf8(run);
}

void CheckWindowsPath(const std::wstring& path, const std::string& what, Findings& findings)
{
    const bool folder = !path.empty() && path.back() == L'\\';
    const std::wstring body = folder ? path.substr(0, path.size() - 1) : path;
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(body.find(L'\\', start), body.size());
        const std::wstring component = body.substr(start, end - start);
        const std::string shown = Printable(component);
        uint32_t error = 0;
        if (const char* reason = RefusedComponent(component, error)) {
            findings.errors.push_back(what + ": Windows cannot create lib\\" + Printable(path) + ": " + reason);
            return;
        }
        if (component.back() == L'.' || component.back() == L' ') {
            findings.warnings.push_back(what + ": \"" + shown +
                                        "\" ends in a dot or space; Windows programs other than the updater "
                                        "cannot open or delete it");
        } else if (IsDeviceName(component)) {
            findings.warnings.push_back(what + ": \"" + shown +
                                        "\" is a device name on Windows; programs other than the updater cannot "
                                        "open or delete it");
        }
        if (end == body.size()) {
            return;
        }
        start = end + 1;
    }
}
