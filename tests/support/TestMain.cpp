// The main of every test program. The tests run against a data folder of
// their own, made here and removed at the end, so that whatever a test does
// not choose itself (the log, the settings file, the profile store) never
// lands in the user's real data folder.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "compat/TextConvert.h"
#include "corekit/Path.h"

namespace {

char g_root[4096];
pid_t g_owner = 0;

// Registered before anything logs, so it runs after the process's last log
// line; forked children that end with exit() leave the folder to the parent.
void RemoveRoot()
{
    if (::getpid() != g_owner)
        return;
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::error_code ec;
    const std::string pattern = (std::filesystem::temp_directory_path(ec) / "pelbo-data-XXXXXX").string();
    if (ec || pattern.size() >= sizeof g_root) {
        std::fprintf(stderr, "no temporary folder for the test data\n");
        return 1;
    }
    pattern.copy(g_root, pattern.size());
    if (::mkdtemp(g_root) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    g_owner = ::getpid();
    std::atexit(RemoveRoot);
    Util::Path::SetRootFolder(ToWide(g_root, CP_UTF8).c_str());
    return RUN_ALL_TESTS();
}
