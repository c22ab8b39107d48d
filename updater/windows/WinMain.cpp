// Windows entry of the updater. GDI+ runs for the whole life of the program:
// the pictures and the text of the window are drawn with it.

#include <windows.h>
#include <gdiplus.h>

#include <string>

#include "LaunchArgs.h"
#include "TidewellApp.h"
#include "pelbo/compat/TextConvert.h"

namespace {

// A GUI program has no console of its own: the usage goes to a redirected
// standard output, else to the console of the shell that started it, else
// into a message box.
void ShowUsage()
{
    const wchar_t* usage = LaunchUsage();
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_CHAR) {
        const std::string text = ToMultiByte(usage, CP_UTF8);
        DWORD written = 0;
        WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        HANDLE console = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (console != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteConsoleW(console, usage, static_cast<DWORD>(wcslen(usage)), &written, nullptr);
            CloseHandle(console);
            FreeConsole();
            return;
        }
        FreeConsole();
    }
    MessageBoxW(nullptr, usage, L"Tidewell", MB_OK);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int)
{
    if (AsksForHelp(commandLine)) {
        ShowUsage();
        return 0;
    }
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) {
        return kExitNoWindow;
    }
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const int code = RunTidewell(instance, path, commandLine);
    Gdiplus::GdiplusShutdown(token);
    return code;
}
