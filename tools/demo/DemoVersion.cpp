// Version family: the version check reads the manifest (the local server's,
// over HTTPS, which announces a newer release with its installer) and the
// update is printed. Updater family, with a display: Tidewell is started as
// the client starts it, downloads that installer, checks its digest and
// runs it.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DemoSteps.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Text.h"
#include "pelbo/version/VersionApi.h"

extern char** environ;

namespace Demo {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Update {
    CStringW version;
    CStringW url;
    CStringW md5;
};

// Hears UpdatePelboVersion on the HTTPS service's thread.
class UpdateWaiter {
public:
    UpdateWaiter()
        : m_connection(ServiceEvent::UpdatePelboVersion().connect([this](CStringW v, CStringW u, CStringW m) {
              std::lock_guard<std::mutex> guard(m_lock);
              if (!m_update)
                  m_update = Update{v, u, m};
              m_arrived.notify_all();
          }))
    {
    }

    std::optional<Update> Wait(int seconds)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_arrived.wait_for(guard, std::chrono::seconds(seconds), [this] { return m_update.has_value(); });
        return m_update;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::optional<Update> m_update;
    event::scoped_connection m_connection;
};

fs::path ProgramFolder()
{
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return length > 0 ? fs::path(std::string(buffer, static_cast<size_t>(length))).parent_path() : fs::path();
}

// Runs the program and waits for its exit code (nothing after the limit, when
// it is killed).
std::optional<int> RunAndWait(const std::vector<std::string>& args, int seconds)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return std::nullopt;
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!WIFEXITED(status))
        return std::nullopt;
    return WEXITSTATUS(status);
}

std::vector<std::string> Lines(const fs::path& file)
{
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool RunUpdater(Context& context, const Update& update, const fs::path& marker)
{
    BeginStep(context, "updater Tidewell downloads, verifies and starts the installer");
    const fs::path tidewell = ProgramFolder() / "Tidewell";
    if (!fs::exists(tidewell)) {
        Fail("%s is not built", tidewell.string().c_str());
        return false;
    }
    // The library forms the updater's command line from the signed
    // manifest: version, address, both digests, size, installed version.
    std::vector<std::string> args = {tidewell.string()};
    std::istringstream announced(ToUtf8(Aux::Version::GetUpdaterArguments()));
    for (std::string argument; announced >> argument;)
        args.push_back(argument);
    if (args.size() == 1) {
        Fail("no updater arguments for the announced release");
        return false;
    }
    args.push_back("--root=" + context.dataFolder);
    Ok("Tidewell %s", ToUtf8(Aux::Version::GetUpdaterArguments()).c_str());
    const std::optional<int> code = RunAndWait(args, context.options.timeoutSeconds);
    if (!code) {
        Fail("Tidewell did not end within %d s", context.options.timeoutSeconds);
        return false;
    }
    if (*code != 0) {
        Fail("Tidewell ended with %d", *code);
        return false;
    }
    // The installer runs on its own once the updater has gone.
    const auto deadline = Clock::now() + std::chrono::seconds(context.options.timeoutSeconds);
    while (!fs::exists(marker) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::vector<std::string> lines = Lines(marker);
    if (lines.size() != 1) {
        Fail("the installer ran %zu times (expected once)", lines.size());
        return false;
    }
    Ok("Tidewell ended with 0; the installer ran once: \"%s\"", lines[0].c_str());
    return true;
}

// The local server's installer, in-process or a program of its own, is a
// script that notes its run beside itself, in the updater's download folder
// of the data folder.
fs::path InstallerMarker(Context& context)
{
    return fs::path(context.dataFolder) / "upgrade" / "installer-ran.txt";
}

std::optional<Update> StepCheckVersion(Context& context)
{
    BeginStep(context, "version check finds a newer release");
    std::printf("        manifest %s\n", ToUtf8(Http::GetManifestUrl()).c_str());
    UpdateWaiter waiter;
    Aux::Version::CheckVersion();
    const std::optional<Update> update = waiter.Wait(context.options.timeoutSeconds);
    if (!update) {
        // The local server always offers a newer release; a deployment may
        // be at this very version.
        if (context.localServer != nullptr)
            Fail("no newer release announced within %d s", context.options.timeoutSeconds);
        else
            std::printf("        no newer release announced within %d s\n", context.options.timeoutSeconds);
        return std::nullopt;
    }
    Ok("version %s (this client 1.0.0.8)", ToUtf8(update->version).c_str());
    Ok("installer %s", ToUtf8(update->url).c_str());
    Ok("md5 %s", ToUtf8(update->md5).c_str());
    for (const CStringW& note : Aux::Version::GetUpdateMsg())
        Ok("note: %s", ToUtf8(note).c_str());
    return update;
}

// What the version family announced, for the updater family.
std::optional<Update> g_announced;

}  // namespace

bool RunVersionSteps(Context& context)
{
    g_announced = StepCheckVersion(context);
    return g_announced.has_value() || context.localServer == nullptr;
}

bool RunUpdaterSteps(Context& context)
{
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        std::printf("        skipped: the updater shows a window and there is no DISPLAY\n");
        context.familySkipped = true;
        return true;
    }
    std::printf("        the window opens on display %s\n", display);
    if (!g_announced)
        g_announced = StepCheckVersion(context);
    if (!g_announced && context.localServer == nullptr) {
        std::printf("        skipped: no newer release to install\n");
        context.familySkipped = true;
        return true;
    }
    return g_announced && RunUpdater(context, *g_announced, InstallerMarker(context));
}

}  // namespace Demo
