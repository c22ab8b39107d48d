// Windows entry of the updater. GDI+ runs for the whole life of the program:
// the pictures and the text of the window are drawn with it.

#include <windows.h>
#include <gdiplus.h>

#include "TidewellApp.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int)
{
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
