// The real updater under a virtual X server (Xvfb): it downloads the
// installer from the local server and starts it once; its close button,
// clicked with xdotool, ends it with 0; a second start flashes the first.
// Skipped only where Xvfb is not installed (tools/scripts/deps.sh installs
// it with xdotool); an Xvfb that cannot start fails the test within the
// limit, as every other wait does.
// With PELBO_UPDATER_SCREENSHOT set to a file name, the waiting window is
// saved there as PNG.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TidewellSettings.h"
#include "devserver/State.h"
#include "support/TempDir.h"
#include "support/TestServer.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kLimit = 30s;
// Interval of the checks inside a bounded wait (never a wait by itself).
constexpr auto kStep = 20ms;

bool Installed(const char* program)
{
    for (const char* dir : {"/usr/bin/", "/bin/", "/usr/local/bin/"}) {
        if (access((std::string(dir) + program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

class Process {
public:
    Process(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv, int stdoutFd = -1)
    {
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        std::vector<std::string> env(extraEnv);
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::string(*e).rfind("DISPLAY=", 0) != 0) {
                env.emplace_back(*e);
            }
        }
        std::vector<char*> envp;
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (stdoutFd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
        }
        if (posix_spawnp(&m_pid, args[0].c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }

    ~Process()
    {
        if (m_pid > 0 && !m_status) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

    bool Started() const { return m_pid > 0; }

    // The exit code, or nothing when it did not end within the limit.
    std::optional<int> Wait(std::chrono::milliseconds limit = kLimit)
    {
        const auto deadline = Clock::now() + limit;
        while (!m_status && Clock::now() < deadline) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            std::this_thread::sleep_for(kStep);
        }
        return m_status;
    }

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
};

// Runs a command and returns what it printed; empty on failure.
std::string Output(const std::vector<std::string>& args, const std::string& display)
{
    TestSupport::TempDir dir;
    const std::string file = dir.File("out");
    std::ofstream(file).close();
    FILE* out = std::fopen(file.c_str(), "w");
    if (out == nullptr) {
        return std::string();
    }
    Process process(args, {"DISPLAY=" + display}, fileno(out));
    const auto code = process.Wait();
    std::fclose(out);
    if (!code || *code != 0) {
        return std::string();
    }
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class TidewellX11Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Installed("Xvfb")) {
            GTEST_SKIP() << "Xvfb is needed (Debian xvfb)";
        }
        ASSERT_TRUE(m_server.Started()) << m_server.Error();
        StartXvfb();
        m_marker = m_root.File("installer-ran.txt");
        m_server.State().downloads.Put("installer", "#!/bin/sh\necho ran >> '" + m_marker + "'\n");
        m_md5 = m_server.State().downloads.Md5("installer");
    }

    void StartXvfb()
    {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        m_xvfb = std::make_unique<Process>(
            std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24",
                                     "-nolisten", "tcp"},
            std::vector<std::string>{});
        close(fds[1]);
        ASSERT_TRUE(m_xvfb->Started());
        std::string number;
        pollfd pfd{fds[0], POLLIN, 0};
        const auto deadline = Clock::now() + kLimit;
        while (Clock::now() < deadline && number.find('\n') == std::string::npos) {
            if (poll(&pfd, 1, 1000) > 0) {
                char buffer[16];
                const ssize_t n = read(fds[0], buffer, sizeof(buffer));
                if (n <= 0) {
                    break;
                }
                number.append(buffer, static_cast<size_t>(n));
            }
        }
        close(fds[0]);
        ASSERT_NE(number.find('\n'), std::string::npos) << "Xvfb did not report its display";
        m_display = ":" + number.substr(0, number.find('\n'));
    }

    std::unique_ptr<Process> Tidewell(const std::string& path, const std::string& md5)
    {
        WriteTidewellSettings(DataFolder(), "ca_bundle=" + m_server.CaFile() + "\n");
        return std::make_unique<Process>(
            std::vector<std::string>{TIDEWELL_PATH, "--version=1002", "--url=" + m_server.Url(path), "--md5=" + md5,
                                     "--size=" + std::to_string(m_server.State().downloads.Get("installer")->size()),
                                     "--sha256=" + m_server.State().downloads.Sha256("installer"),
                                     "--installed-version=1001", "--root=" + DataFolder().string()},
            std::vector<std::string>{"DISPLAY=" + m_display});
    }

    // The client's data folder, with a blank in its name as in many real
    // ones: it must reach the updater whole.
    std::filesystem::path DataFolder() const { return m_root.Path() / "Pelbo Data"; }

    // The updater's window id, once it is mapped; empty after the limit.
    std::string WaitForWindow()
    {
        const auto deadline = Clock::now() + kLimit;
        while (Clock::now() < deadline) {
            const std::string found = Output({"xdotool", "search", "--onlyvisible", "--name", "^Oxbel$"}, m_display);
            if (!found.empty()) {
                return found.substr(0, found.find('\n'));
            }
            std::this_thread::sleep_for(kStep);
        }
        return std::string();
    }

    std::vector<std::string> MarkerLines(std::chrono::milliseconds limit)
    {
        const auto deadline = Clock::now() + limit;
        while (!std::filesystem::exists(m_marker) && Clock::now() < deadline) {
            std::this_thread::sleep_for(kStep);
        }
        std::vector<std::string> lines;
        std::ifstream in(m_marker);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    TestSupport::TestServer m_server{TestSupport::TestServer::Https()};
    TestSupport::TempDir m_root;
    std::unique_ptr<Process> m_xvfb;
    std::string m_display;
    std::string m_marker;
    std::string m_md5;
};

TEST_F(TidewellX11Test, DownloadsAndStartsTheInstallerOnce)
{
    auto updater = Tidewell("/download/installer", m_md5);
    ASSERT_TRUE(updater->Started());
    EXPECT_EQ(updater->Wait(), std::optional<int>(0));
    EXPECT_EQ(MarkerLines(kLimit), std::vector<std::string>{"ran"});
    EXPECT_TRUE(std::filesystem::exists(DataFolder() / "upgrade" / "ver_1002.exe"));
}

// The installer in place is started at once and its window closed before
// the program looks at it again; nothing is fetched.
TEST_F(TidewellX11Test, InstallerInPlaceIsStartedWithoutADownload)
{
    std::filesystem::create_directories(DataFolder() / "upgrade");
    std::ofstream(DataFolder() / "upgrade" / "ver_1002.exe", std::ios::binary)
        << *m_server.State().downloads.Get("installer");
    DevServer::Fault refuse;
    refuse.httpStatus = 500;
    ASSERT_TRUE(m_server.Server().SetFault("GET", "/download/installer", refuse));
    auto updater = Tidewell("/download/installer", m_md5);
    ASSERT_TRUE(updater->Started());
    EXPECT_EQ(updater->Wait(), std::optional<int>(0));
    EXPECT_EQ(MarkerLines(kLimit), std::vector<std::string>{"ran"});
}

TEST_F(TidewellX11Test, CloseButtonEndsTheWaitingUpdater)
{
    ASSERT_TRUE(Installed("xdotool") && Installed("xprop")) << "needs Debian xdotool and x11-utils";
    DevServer::Fault slow;
    slow.delayMs = 60000;
    ASSERT_TRUE(m_server.Server().SetFault("GET", "/download/installer", slow));
    auto updater = Tidewell("/download/installer", m_md5);
    ASSERT_TRUE(updater->Started());
    const std::string window = WaitForWindow();
    ASSERT_FALSE(window.empty()) << "no window appeared";
    const std::string geometry = Output({"xdotool", "getwindowgeometry", window}, m_display);
    EXPECT_NE(geometry.find("598x448"), std::string::npos) << geometry;

    // A second start finds this window, asks for attention and ends.
    auto second = Tidewell("/download/installer", m_md5);
    EXPECT_EQ(second->Wait(), std::optional<int>(0));
    const std::string hints = Output({"xprop", "-id", window, "WM_HINTS"}, m_display);
    EXPECT_NE(hints.find("urgency hint bit is set"), std::string::npos) << hints;

    if (const char* shot = std::getenv("PELBO_UPDATER_SCREENSHOT")) {
        Output({"import", "-window", window, shot}, m_display);
    }
    Output({"xdotool", "mousemove", "--window", window, "586", "11", "click", "1"}, m_display);
    EXPECT_EQ(updater->Wait(), std::optional<int>(0));
    EXPECT_TRUE(MarkerLines(0ms).empty());
    EXPECT_FALSE(std::filesystem::exists(DataFolder() / "upgrade" / "ver_1002.exe"));
}

}  // namespace
