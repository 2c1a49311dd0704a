#pragma once

// Just the Win32 names that archive/archive.h and archive/entry_names.cpp use, so the entry-name rule builds on
// Linux. Nothing here behaves like Windows: the conversion below always fails, and the fuzzer never calls it.

typedef void* HANDLE;
typedef struct HWND__* HWND;
typedef unsigned int UINT;
typedef unsigned long DWORD;
typedef int BOOL;

#define CP_UTF8 65001

inline int WideCharToMultiByte(UINT, DWORD, const wchar_t*, int, char*, int, const char*, BOOL*)
{
    return 0;
}
