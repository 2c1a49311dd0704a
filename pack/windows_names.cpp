#include "pack/pack.h"

#include "archive/archive.h"

#include <algorithm>
#include <cstdio>

namespace {

// Names that Win32 maps to devices when they stand without the "\\?\" prefix, with or without an extension. Windows
// documents COM and LPT with the digits 0 to 9 and the superscripts ¹ ² ³ as reserved.
const wchar_t* const DEVICE_NAMES[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
const wchar_t* const NUMBERED_DEVICE_NAMES[] = {L"COM", L"LPT"};
const wchar_t DEVICE_DIGITS[] = L"0123456789\u00B9\u00B2\u00B3";

bool SameAsciiLetters(const std::wstring& text, const std::wstring& upper)
{
    if (text.size() != upper.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if ((c >= L'a' && c <= L'z' ? c - (L'a' - L'A') : c) != upper[i]) {
            return false;
        }
    }
    return true;
}

bool IsDeviceName(const std::wstring& component)
{
    // "con.txt" and "CON .dll" name the console too: the part before the first dot, trailing spaces ignored.
    std::wstring base = component.substr(0, component.find(L'.'));
    while (!base.empty() && base.back() == L' ') {
        base.pop_back();
    }
    for (const wchar_t* device : DEVICE_NAMES) {
        if (SameAsciiLetters(base, device)) {
            return true;
        }
    }
    for (const wchar_t* device : NUMBERED_DEVICE_NAMES) {
        if (base.size() == 4 && SameAsciiLetters(base.substr(0, 3), device) &&
            std::wstring(DEVICE_DIGITS).find(base[3]) != std::wstring::npos) {
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
    const std::string refused = what + ": lib\\" + Printable(body) + ": ";
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
        // The updater creates such names below "\\?\", but the game, the player's tools and the next updater's
        // removal go through Win32's ordinary paths, which cannot open or delete them.
        if (component.back() == L'.' || component.back() == L' ') {
            findings.errors.push_back(refused + "\"" + shown +
                                      "\" ends in a dot or space; Windows programs other than the updater cannot "
                                      "open or delete it");
        } else if (IsDeviceName(component)) {
            findings.errors.push_back(refused + "\"" + shown +
                                      "\" is a device name on Windows; programs other than the updater cannot open "
                                      "or delete it");
        } else if (start == 0 && IsMarkFileName(component)) {
            findings.errors.push_back(refused + "\"" + shown +
                                      "\" is the name of the updater's own mark: the updater takes it for its mark "
                                      "and never matches it with the list");
        }
        if (end == body.size()) {
            return;
        }
        start = end + 1;
    }
}
