// A stand-in installer for the updater's tests on Windows: it appends a
// line "ran <its process id>" to installer-ran.txt in the folder it lies in,
// and ends. The test reads the line to know it ran, and how often, and
// waits for that process before it removes the folder.

#include <windows.h>

#include <cstdio>
#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    wchar_t self[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length == MAX_PATH) {
        return 1;
    }
    std::wstring marker(self, length);
    marker = marker.substr(0, marker.find_last_of(L"\\/") + 1) + L"installer-ran.txt";
    FILE* out = _wfopen(marker.c_str(), L"ab");
    if (out == nullptr) {
        return 1;
    }
    const bool written = std::fprintf(out, "ran %lu\n", GetCurrentProcessId()) > 0;
    return std::fclose(out) == 0 && written ? 0 : 1;
}
