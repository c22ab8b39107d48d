#pragma once
// The updater's start-up: logging, the single-instance search, the command
// line, the update window and its download, then the message loop. Returns
// the process exit code (0, or 0x4444 when the window cannot be made).

#include "WinTypes.h"

constexpr int kExitNoWindow = 0x4444;

int RunTidewell(HINSTANCE instance, const wchar_t* programPath, const wchar_t* commandLine);
