// The main of every test program. The tests run against a data folder of
// their own, made here and removed at the end, so that whatever a test does
// not choose itself (the log, the settings file, the profile store) never
// lands in the user's real data folder.

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "pelbo/corekit/Path.h"
#include "support/TempDir.h"

namespace {

std::filesystem::path g_root;
long g_owner = 0;

long ProcessId()
{
#if defined(_WIN32)
    return ::_getpid();
#else
    return ::getpid();
#endif
}

// Registered before anything logs, so it runs after the process's last log
// line; forked children that end with exit() leave the folder to the parent.
void RemoveRoot()
{
    if (ProcessId() != g_owner)
        return;
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    g_root = TestSupport::MakeTempFolder("pelbo-data-");
    if (g_root.empty()) {
        std::fprintf(stderr, "no temporary folder for the test data\n");
        return 1;
    }
    g_owner = ProcessId();
    std::atexit(RemoveRoot);
    Util::Path::SetRootFolder(TestSupport::WidePath(g_root).c_str());
    return RUN_ALL_TESTS();
}
