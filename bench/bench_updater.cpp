// The updater's two heavy steps beside reference tools: the installer's
// download through fetcher against `curl -o` from the same local server
// (HTTPS, keep-alive off for both: one file, one connection), and the MD5
// digest of a large file through Util::MD5::GetFileMD5Value against
// `openssl dgst -md5`. Each side runs three times and its best run counts.
// Prints table rows "path | ours | reference | ratio | target" for
// tools/scripts/bench.sh.
//
// Sizes: PELBO_BENCH_INSTALLER_MB (default 64) and PELBO_BENCH_MD5_MB
// (default 1024, the 1 GiB of the target).

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "compat/TextConvert.h"
#include "corekit/HttpSettings.h"
#include "corekit/Text.h"
#include "devserver/DevServer.h"
#include "devserver/State.h"
#include "fetcher/HttpDownload.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kRuns = 3;

size_t SizeFromEnv(const char* name, size_t fallbackMb)
{
    const char* text = std::getenv(name);
    const long mb = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return (mb > 0 ? static_cast<size_t>(mb) : fallbackMb) << 20;
}

std::wstring Wide(const std::string& text) { return ToWide(text.c_str(), CP_UTF8); }

// Runs a program (no shell) and returns whether it exited with 0; its
// standard output goes to outFile when one is given.
bool RunProgram(const std::vector<std::string>& args, const std::string& outFile = std::string())
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!outFile.empty())
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Best time of kRuns runs of one; a failed run makes the whole result -1.
double BestSeconds(const std::function<bool()>& one)
{
    double best = -1;
    for (int i = 0; i < kRuns; ++i) {
        const auto begin = Clock::now();
        if (!one())
            return -1;
        const double took = std::chrono::duration<double>(Clock::now() - begin).count();
        best = best < 0 ? took : std::min(best, took);
    }
    return best;
}

class DownloadWaiter : public Util::HttpDownload::CHttpDownloadEvent {
public:
    ~DownloadWaiter() override { DetachDownloadEvent(); }

    void OnHttpDownResult(const unsigned long long&, const unsigned int& code) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_code = static_cast<int>(code);
        m_done.notify_all();
    }

    // The result code, or -1 when none came within the limit.
    int Wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_done.wait_for(lock, std::chrono::minutes(5), [this] { return m_code >= 0; });
        return m_code;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    int m_code = -1;
};

bool FetcherDownload(const std::string& url, const fs::path& target)
{
    DownloadWaiter waiter;
    unsigned long long id = 0;
    if (Util::HttpDownload::Download(Wide(url).c_str(), target.wstring().c_str(), &waiter, &id,
                                     Util::HttpDownload::E_SAVE_REPLACE, 0, 0) != Util::HttpDownload::kAccepted)
        return false;
    return waiter.Wait() == 0;
}

std::string WordOfFile(const fs::path& file, bool lastWord)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    std::istringstream words(line);
    std::string word;
    std::string result;
    while (words >> word) {
        result = word;
        if (!lastWord)
            break;
    }
    return result;
}

void Row(const std::string& path, double oursRate, double referenceRate, const char* unit, const char* target)
{
    char ours[32];
    char reference[32];
    std::snprintf(ours, sizeof(ours), "%.1f %s", oursRate, unit);
    std::snprintf(reference, sizeof(reference), "%.1f %s", referenceRate, unit);
    const double ratio = referenceRate > 0 ? oursRate / referenceRate : 0;
    std::printf("%-48s | %14s | %14s | %7.2f | %s\n", path.c_str(), ours, reference, ratio, target);
}

}  // namespace

int main()
{
    const fs::path dir = fs::temp_directory_path() / ("pelbo-bench-updater-" + std::to_string(std::random_device()()));
    fs::create_directories(dir);
    int failed = 0;
    {
        DevServer::Options options;
        options.tls = true;
        options.caCertOut = (dir / "ca.pem").string();
        DevServer::Server server(options);
        std::string error;
        if (!server.Start(&error)) {
            std::fprintf(stderr, "bench_updater: server did not start: %s\n", error.c_str());
            return 1;
        }
        const size_t installerBytes = SizeFromEnv("PELBO_BENCH_INSTALLER_MB", 64);
        server.GetState().downloads.Put(DevServer::DownloadShelf::kInstaller,
                                        DevServer::DownloadShelf::Pattern(installerBytes));
        const std::string md5 = server.GetState().downloads.Md5(DevServer::DownloadShelf::kInstaller);
        const std::string url = server.BaseUrl() + "/download/installer";
        Http::SetCaBundle(Wide(server.CaCertFile()).c_str());
        Util::Curl::Init();

        const fs::path oursFile = dir / "ver_ours.exe";
        const fs::path curlFile = dir / "ver_curl.exe";
        const double ours = BestSeconds([&] { return FetcherDownload(url, oursFile); });
        Util::HttpDownload::Shutdown();
        const double curl = BestSeconds([&] {
            return RunProgram({"curl", "-sS", "--fail", "--cacert", server.CaCertFile(), "-o", curlFile.string(), url});
        });
        CStringW got;
        const bool intact = Util::MD5::GetFileMD5Value(oursFile.wstring().c_str(), got) != 0 &&
                            ToMultiByte(got, CP_UTF8) == md5 && fs::file_size(curlFile) == installerBytes;
        const double mb = static_cast<double>(installerBytes) / (1 << 20);
        Row("installer download " + std::to_string(installerBytes >> 20) + " MiB https (MiB/s)",
            ours > 0 ? mb / ours : 0, curl > 0 ? mb / curl : 0, "MiB/s", ">= 0.80 (curl -o)");
        if (ours < 0 || curl < 0 || !intact) {
            std::fprintf(stderr, "bench_updater: a download failed or arrived damaged\n");
            failed = 1;
        }
    }

    // The digest of a large file. Both sides read the same file, which the
    // page cache holds once it has been written, so the rows compare the
    // digest and the reading loop rather than the disk.
    const size_t digestBytes = SizeFromEnv("PELBO_BENCH_MD5_MB", 1024);
    const fs::path big = dir / "big.bin";
    {
        std::ofstream out(big, std::ios::binary);
        const std::string block = DevServer::DownloadShelf::Pattern(1 << 20);
        for (size_t written = 0; written < digestBytes && out; written += block.size())
            out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), digestBytes - written)));
        if (!out) {
            std::fprintf(stderr, "bench_updater: could not write %s\n", big.string().c_str());
            fs::remove_all(dir);
            return 1;
        }
    }
    CStringW oursDigest;
    const double ours = BestSeconds([&] { return Util::MD5::GetFileMD5Value(big.wstring().c_str(), oursDigest) != 0; });
    const fs::path opensslOut = dir / "openssl.txt";
    const double openssl =
        BestSeconds([&] { return RunProgram({"openssl", "dgst", "-md5", big.string()}, opensslOut.string()); });
    const std::string referenceDigest = WordOfFile(opensslOut, true);
    const double mb = static_cast<double>(digestBytes) / (1 << 20);
    Row("MD5 of a " + std::to_string(digestBytes >> 20) + " MiB file (MiB/s)", ours > 0 ? mb / ours : 0,
        openssl > 0 ? mb / openssl : 0, "MiB/s", ">= 0.80 (openssl dgst)");
    if (ours < 0 || openssl < 0 || ToMultiByte(oursDigest, CP_UTF8) != referenceDigest) {
        std::fprintf(stderr, "bench_updater: digests differ: ours %s, openssl %s\n",
                     ToMultiByte(oursDigest, CP_UTF8).c_str(), referenceDigest.c_str());
        failed = 1;
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return failed;
}
