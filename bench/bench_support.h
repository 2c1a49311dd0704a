#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Small helpers shared by the benchmark programs that bench/run starts under Wine. Each program prints its figures
// as "key=value" lines on standard output, which bench/run reads.

// Seconds since an arbitrary fixed moment, from the performance counter.
double NowSeconds();

// The program's arguments after its own name.
std::vector<std::wstring> ProgramArguments();

// The largest working set this process has had so far, in bytes; 0 when it cannot be read.
unsigned long long PeakWorkingSetBytes();

// Prints "key=value" lines; values are plain numbers or UTF-8 text without line breaks.
void PrintFigure(const char* key, double value);
void PrintCount(const char* key, unsigned long long value);
void PrintText(const char* key, const std::wstring& value);

// Prints a usage or failure line on standard error and returns the exit code 2, for `return Usage(...)`.
int Usage(const char* text);

// A number from an argument; 0 when it is not one.
unsigned long long ParseCount(const std::wstring& text);
