#pragma once
// pelbo-sign's commands, apart from main so that tests run them in-process
// with their own output streams. Arguments are UTF-8 (main converts them on
// Windows); see PrintUsage in SignTool.cpp and docs/updater.md.

#include <ostream>
#include <string>
#include <vector>

namespace SignTool {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// args without the program name. Returns the program's exit code.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace SignTool
