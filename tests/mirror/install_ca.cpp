// Makes the test mirror's CA trusted: adds a certificate (PEM or DER file) to the local machine's "Root" store.
//
//   install_ca.exe CERTIFICATE
//
// Meant for the test Wine prefix only, where it is run before the tests that download from the mirror. It refuses
// to run on Windows itself, where it would make a test key trusted for the whole machine.
#include <windows.h>

#include <shellapi.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

bool IsRunningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool ReadWholeFile(const wchar_t* path, std::vector<BYTE>& bytes)
{
    const HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    BYTE block[4096];
    DWORD bytesRead = 0;
    bool readOk = true;
    while ((readOk = ReadFile(file, block, sizeof(block), &bytesRead, nullptr) != FALSE) && bytesRead > 0) {
        bytes.insert(bytes.end(), block, block + bytesRead);
    }
    CloseHandle(file);
    return readOk;
}

// DER as it is, or the first certificate of a PEM file.
bool ToDer(const std::vector<BYTE>& file, std::vector<BYTE>& der)
{
    const std::string text(file.begin(), file.end());
    if (text.find("-----BEGIN") == std::string::npos) {
        der = file;
        return !der.empty();
    }
    DWORD size = 0;
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                              nullptr, nullptr)) {
        return false;
    }
    der.resize(size);
    return CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                                &size, nullptr, nullptr) != FALSE;
}

int Install(const wchar_t* path)
{
    std::vector<BYTE> file;
    std::vector<BYTE> der;
    if (!ReadWholeFile(path, file) || !ToDer(file, der)) {
        std::fprintf(stderr, "install_ca: cannot read a certificate from %ls (error %lu)\n", path, GetLastError());
        return 1;
    }
    const HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) {
        std::fprintf(stderr, "install_ca: cannot open the Root store (error %lu)\n", GetLastError());
        return 1;
    }
    const BOOL added = CertAddEncodedCertificateToStore(
        store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        std::fprintf(stderr, "install_ca: cannot add %ls to the Root store (error %lu)\n", path, error);
        return 1;
    }
    return 0;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc != 2) {
        std::fprintf(stderr, "usage: install_ca.exe CERTIFICATE\n");
        return 2;
    }
    if (!IsRunningUnderWine()) {
        std::fprintf(stderr, "install_ca: refusing to trust a test certificate outside Wine\n");
        return 2;
    }
    const int status = Install(argv[1]);
    LocalFree(argv);
    return status;
}
