#include "update/verified/verified_record.h"

#include "archive/archive.h"
#include "fs/fs.h"
#include "fs/handles.h"

#include <windows.h>

#include <string>

namespace {

// Beside the release record and named like it, so that a person who finds one understands the other.
const wchar_t RECORD_NAME[] = L"vorlance_verified.txt";
const wchar_t RECORD_PART_NAME[] = L"vorlance_verified_new.txt";
const char FIRST_LINE[] = "# verified files";
// A line per file of about 150 bytes and its path: far more than the list's limit of files allows.
const uint64_t RECORD_MAX_BYTES = 16 * 1024 * 1024;
const int64_t FILETIME_UNITS_PER_SECOND = 10000000;
const char HEX_DIGITS[] = "0123456789abcdef";
// The entry fields before the path: digest, size, last-write time, change time, volume serial, file ID.
const int ENTRY_NUMBER_FIELDS = 6;

std::string Hex(const unsigned char* bytes, size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += HEX_DIGITS[bytes[i] >> 4];
        text += HEX_DIGITS[bytes[i] & 0x0F];
    }
    return text;
}

std::string HexNumber(uint64_t value)
{
    unsigned char bytes[8] = {};
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (56 - 8 * i));
    }
    return Hex(bytes, sizeof(bytes));
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Exactly 2 * count lower-case hex digits.
bool ParseHex(const std::string& text, unsigned char* bytes, size_t count)
{
    if (text.size() != 2 * count) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

bool ParseHexNumber(const std::string& text, uint64_t& value)
{
    unsigned char bytes[8] = {};
    if (!ParseHex(text, bytes, sizeof(bytes))) {
        return false;
    }
    value = 0;
    for (unsigned char byte : bytes) {
        value = value << 8 | byte;
    }
    return true;
}

// 1 to 19 decimal digits and nothing else: every value fits in 63 bits.
bool ParseDecimal(const std::string& text, uint64_t& value)
{
    if (text.empty() || text.size() > 18 + 1 || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    uint64_t parsed = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        parsed = parsed * 10 + static_cast<uint64_t>(c - '0');
    }
    if (parsed > static_cast<uint64_t>(INT64_MAX)) {
        return false;
    }
    value = parsed;
    return true;
}

bool ParseTime(const std::string& text, int64_t& time)
{
    uint64_t value = 0;
    if (!ParseDecimal(text, value)) {
        return false;
    }
    time = static_cast<int64_t>(value);
    return true;
}

// Splits off the text up to the next blank; false when there is none.
bool TakeField(std::string& rest, std::string& field)
{
    const size_t blank = rest.find(' ');
    if (blank == std::string::npos) {
        return false;
    }
    field = rest.substr(0, blank);
    rest.erase(0, blank + 1);
    return true;
}

// "NAME VALUE" with a decimal value.
bool ParseNamedNumber(const std::string& line, const char* name, uint64_t& value)
{
    std::string rest = line;
    std::string field;
    return TakeField(rest, field) && field == name && ParseDecimal(rest, value);
}

bool ParseEntry(const std::string& line, VerifiedFile& file)
{
    std::string rest = line;
    std::string fields[ENTRY_NUMBER_FIELDS];
    for (std::string& field : fields) {
        if (!TakeField(rest, field)) {
            return false;
        }
    }
    if (!ParseHex(fields[0], file.digest.data(), file.digest.size()) || !ParseDecimal(fields[1], file.facts.size) ||
        !ParseTime(fields[2], file.facts.lastWriteTime) || !ParseTime(fields[3], file.facts.changeTime) ||
        !ParseHexNumber(fields[4], file.facts.volumeSerial) ||
        !ParseHex(fields[5], file.facts.fileId.data(), file.facts.fileId.size()) || rest.empty()) {
        return false;
    }
    file.path = DecodeEntryName(rest.data(), rest.size(), 0x0800);
    return true;
}

bool ParseRecord(const std::string& text, VerifiedRecord& record)
{
    // Every line ends with its line end: a record cut short anywhere is refused whole.
    if (text.empty() || text.back() != '\n') {
        return false;
    }
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    const size_t HEADER_LINES = 5;
    uint64_t launches = 0;
    uint64_t fullCheck = 0;
    uint64_t hashed = 0;
    uint64_t count = 0;
    if (lines.size() < HEADER_LINES || lines[0] != FIRST_LINE || !ParseNamedNumber(lines[1], "launches", launches) ||
        !ParseNamedNumber(lines[2], "full-check", fullCheck) || !ParseNamedNumber(lines[3], "hashed", hashed) ||
        !ParseNamedNumber(lines[4], "files", count) || count != lines.size() - HEADER_LINES) {
        return false;
    }
    VerifiedRecord parsed;
    parsed.launchesSinceFullCheck = launches;
    parsed.fullCheckTime = static_cast<int64_t>(fullCheck);
    parsed.hashedBytes = hashed;
    parsed.files.resize(count);
    for (size_t i = 0; i < count; ++i) {
        if (!ParseEntry(lines[HEADER_LINES + i], parsed.files[i])) {
            return false;
        }
    }
    record = std::move(parsed);
    return true;
}

std::string RecordText(const VerifiedRecord& record)
{
    std::string text = std::string(FIRST_LINE) + "\n";
    text += "launches " + std::to_string(record.launchesSinceFullCheck) + "\n";
    text += "full-check " + std::to_string(record.fullCheckTime) + "\n";
    text += "hashed " + std::to_string(record.hashedBytes) + "\n";
    text += "files " + std::to_string(record.files.size()) + "\n";
    for (const VerifiedFile& file : record.files) {
        text += Hex(file.digest.data(), file.digest.size()) + " " + std::to_string(file.facts.size) + " " +
                std::to_string(file.facts.lastWriteTime) + " " + std::to_string(file.facts.changeTime) + " " +
                HexNumber(file.facts.volumeSerial) + " " + Hex(file.facts.fileId.data(), file.facts.fileId.size()) +
                " " + WideToUtf8(file.path) + "\n";
    }
    return text;
}

KernelHandle OpenRecordFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition)
{
    const HANDLE file =
        CreateFileW(MakeLongPath(path).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    return KernelHandle(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

} // namespace

bool ReadVerifiedRecord(const std::wstring& programDirectory, VerifiedRecord& record)
{
    const KernelHandle file = OpenRecordFile(programDirectory + RECORD_NAME, GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 ||
        static_cast<uint64_t>(size.QuadPart) > RECORD_MAX_BYTES) {
        return false;
    }
    std::string text(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr) || read != text.size()) {
        return false;
    }
    return ParseRecord(text, record);
}

bool WriteVerifiedRecord(const std::wstring& programDirectory, const VerifiedRecord& record)
{
    const std::string text = RecordText(record);
    const std::wstring partPath = programDirectory + RECORD_PART_NAME;
    const std::wstring recordPath = programDirectory + RECORD_NAME;
    ClearBlockingAttributes(partPath);
    KernelHandle file = OpenRecordFile(partPath, GENERIC_WRITE, 0, CREATE_ALWAYS);
    if (!file) {
        return false;
    }
    DWORD written = 0;
    // Flushed before the rename: after a power cut the name holds the old record or the new one, whole.
    const bool whole = WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                       written == text.size() && FlushFileBuffers(file.get());
    file.reset();
    ClearBlockingAttributes(recordPath);
    if (whole && MoveFileExW(MakeLongPath(partPath).c_str(), MakeLongPath(recordPath).c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    DeleteFileW(MakeLongPath(partPath).c_str());
    return false;
}

bool IsFullCheckDue(const VerifiedRecord& record, int64_t now)
{
    // A clock set back before the last full check would otherwise put the next one off by as much: it is due, and
    // the new record starts the week from that clock.
    return record.launchesSinceFullCheck + 1 >= FULL_CHECK_EVERY_LAUNCHES || now < record.fullCheckTime ||
           now - record.fullCheckTime >= FULL_CHECK_AFTER_SECONDS * FILETIME_UNITS_PER_SECOND;
}
