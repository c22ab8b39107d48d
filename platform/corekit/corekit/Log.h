#pragma once
// Util::Log: printf-style wide lines under a tag, written to a rotating log
// file in the data folder ("<data>/logs/<name>.log", rotated by size).
// Formats have the Windows wide-printf meaning ("%s" is wide text, "%S"
// narrow), see compat/WideFormat.h. A line's text is cut after 4096
// characters and then ends in " [line cut: 4096 of N characters]". Writing
// is thread-safe; a failing disk never throws or blocks the caller for long.

#include <cstddef>
#include <string>

#include "pelbo/corekit/CorekitExport.h"

namespace Util {
namespace Log {

enum Level : int {
    LevelTrace = 0,
    LevelDebug = 1,
    LevelInfo = 2,
    LevelWarn = 3,
    LevelError = 4,
    LevelOff = 5,
};

// Opens the log file of the process (name "Service" unless Change gave
// another). Lines written before Init open it on first use.
COREKIT_API int Init();
// Lines below this level are dropped. Default LevelInfo.
COREKIT_API void SetLevel(int level);
COREKIT_API int GetLevel();
// Switches the log file: name (null keeps the current name) and a flag that
// is non-zero to also echo lines to standard error.
COREKIT_API void Change(const wchar_t* name, int echo);
// Rotation: when a line would take the file past maxBytes, the file becomes
// "<name>.1.log" (older ones move up to "<name>.<keepFiles>.log", the oldest
// is dropped) and a new file starts. Default 5 MiB and 3 old files.
COREKIT_API void SetRotation(size_t maxBytes, int keepFiles);
// Flushes and closes the file; a later line opens it again (in the log folder
// of that moment).
COREKIT_API void Close();
// Full path of the current log file.
COREKIT_API std::wstring GetLogFilePath();

COREKIT_API void Info(const wchar_t* tag, const wchar_t* format, ...);
COREKIT_API void Debug(const wchar_t* tag, const wchar_t* format, ...);
COREKIT_API void Warn(const wchar_t* tag, const wchar_t* format, ...);
COREKIT_API void Error(const wchar_t* tag, const wchar_t* format, ...);

// Returns text with the values of secret members masked: JSON members, query
// parameters and "key=value" pairs whose name contains "token", "secret",
// "password", "passwd", "access_key", "accesskey", "credential" or
// "signature" (case-insensitive) keep their first 2 characters, the rest
// becomes "***" (values of up to 4 characters become "***" whole). Objects
// and arrays under such a name are not masked whole: their own members are
// looked at one by one. Everything else is unchanged. Every line written to
// the log goes through this.
COREKIT_API std::wstring MaskSecrets(const std::wstring& text);

}  // namespace Log
}  // namespace Util
