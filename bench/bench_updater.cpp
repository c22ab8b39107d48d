// The updater's two heavy steps beside reference tools: the installer's
// download through fetcher against `curl -o` from the same local server
// (HTTPS, keep-alive off for both: one file, one connection), and the MD5
// digest of a large file through Util::MD5::GetFileMD5Value against
// `openssl dgst -md5`, the updater's one-read verification (size, SHA-256 and
// MD5) against `openssl dgst -sha256` plus `-md5`, and the bytes a resumed
// download costs. Each timed side runs three times and its best run counts.
// Prints table rows "path | ours | reference | ratio | target" for
// tools/scripts/bench.sh.
//
// Sizes: PELBO_BENCH_INSTALLER_MB (default 64), PELBO_BENCH_MD5_MB (default
// 1024, the 1 GiB of the target) and PELBO_BENCH_RESUME_MB (default 512).

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

#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/FileDigest.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Text.h"
#include "devserver/DevServer.h"
#include "devserver/State.h"
#include "pelbo/fetcher/HttpDownload.h"

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

// The download's result code; -1 when it was refused or none came.
int FetcherDownloadCode(const std::string& url, const fs::path& target, Util::HttpDownload::EFileSaveMode mode)
{
    DownloadWaiter waiter;
    unsigned long long id = 0;
    if (Util::HttpDownload::Download(Wide(url).c_str(), target.wstring().c_str(), &waiter, &id, mode,
                                     Util::HttpDownload::CDownloadLimits()) != Util::HttpDownload::kAccepted)
        return -1;
    return waiter.Wait();
}

bool FetcherDownload(const std::string& url, const fs::path& target)
{
    return FetcherDownloadCode(url, target, Util::HttpDownload::E_SAVE_REPLACE) == 0;
}

// The process's peak resident memory so far (VmHWM), in KiB; 0 when unknown.
unsigned long PeakResidentKib()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtoul(line.c_str() + 6, nullptr, 10);
    }
    return 0;
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

    // What the updater does to a finished installer: size, SHA-256 and MD5
    // in one read, against the two openssl commands one after the other.
    // It runs before anything large is in memory, so the process's peak
    // tells what the read needs.
    Util::FileDigest::Digest verified;
    const double verify = BestSeconds([&] {
        verified = Util::FileDigest::OfFile(big.wstring().c_str());
        return verified.status == Util::FileDigest::Status::Ok;
    });
    const unsigned long peakAfter = PeakResidentKib();
    const fs::path shaOut = dir / "sha256.txt";
    const double sha =
        BestSeconds([&] { return RunProgram({"openssl", "dgst", "-sha256", big.string()}, shaOut.string()); });
    const double both = sha >= 0 && openssl >= 0 ? sha + openssl : -1;
    // Time per file: lower is better, so the reference's time leads.
    Row("verify " + std::to_string(digestBytes >> 20) + " MiB: size+SHA-256+MD5 (files/s)",
        verify > 0 ? 1 / verify : 0, both > 0 ? 1 / both : 0, "/s", ">= 0.91 (openssl -sha256 + -md5)");
    std::printf("%-48s | %11lu KiB | %14s | %7s | %s\n", "  peak resident memory of the bench process", peakAfter,
                "", "", "< 32768 KiB");
    if (verify < 0 || verified.sha256 != WordOfFile(shaOut, true) ||
        verified.md5 != referenceDigest || verified.size != digestBytes) {
        std::fprintf(stderr, "bench_updater: the one-read digests differ from openssl's\n");
        failed = 1;
    }
    fs::remove(big);

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

        // A download cut off at 90 % and tried again: the bytes the retry
        // costs, against the tenth that is missing.
        const size_t resumeBytes = SizeFromEnv("PELBO_BENCH_RESUME_MB", 512);
        server.GetState().downloads.Put(DevServer::DownloadShelf::kInstaller,
                                        DevServer::DownloadShelf::Pattern(resumeBytes));
        const std::string resumeMd5 = server.GetState().downloads.Md5(DevServer::DownloadShelf::kInstaller);
        DevServer::Fault cut;
        cut.cutAfterBytes = static_cast<long long>(resumeBytes / 10 * 9);
        cut.remaining = 1;
        server.SetFault("GET", "/download/installer", cut);
        const fs::path resumed = dir / "ver_resumed.exe";
        const int broken = FetcherDownloadCode(url, resumed, Util::HttpDownload::E_SAVE_RESUME);
        const uint64_t sentBefore = server.BodyBytesSent();
        const int finished = FetcherDownloadCode(url, resumed, Util::HttpDownload::E_SAVE_RESUME);
        const double retryMb = static_cast<double>(server.BodyBytesSent() - sentBefore) / (1 << 20);
        CStringW resumedMd5;
        const bool whole = broken == Util::HttpDownload::kDownTransport && finished == 0 &&
                           Util::MD5::GetFileMD5Value(resumed.wstring().c_str(), resumedMd5) != 0 &&
                           ToMultiByte(resumedMd5, CP_UTF8) == resumeMd5;
        // Fewer bytes are better: the missing tenth leads the ratio.
        const double missingMb = static_cast<double>(resumeBytes - resumeBytes / 10 * 9) / (1 << 20);
        Row("resume " + std::to_string(resumeBytes >> 20) + " MiB cut at 90 % (MiB sent on retry)", missingMb,
            retryMb, "MiB", ">= 0.95 (the missing 10 %)");
        if (!whole) {
            std::fprintf(stderr, "bench_updater: the resumed download failed or arrived damaged (%d, %d)\n", broken,
                         finished);
            failed = 1;
        }
        Util::HttpDownload::Shutdown();
    }

    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return failed;
}
