// Downloads beside reference tools.
//
//  1. One large file through fetcher against `curl -o`, both from the same
//     loopback server (plain HTTP, the file sent with sendfile, so the
//     server is never the slower side). Best of two runs each. Size:
//     PELBO_BENCH_DOWNLOAD_MB (default 1024, the 1 GiB of the target).
//  2. PELBO_BENCH_PICTURES (default 1000) head pictures through
//     PicDownloadApi from the local server, reported when all are stored,
//     against `curl --parallel --parallel-max 6` fetching the same pictures
//     (six at a time, as the manager at most runs).
//
// Prints table rows "path | ours | reference | ratio | target" for
// tools/scripts/bench.sh; the ratio is always reference time / our time.

#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pelbo/account/UserCache.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Path.h"
#include "devserver/DevServer.h"
#include "devserver/PictureMaker.h"
#include "devserver/Routes.h"
#include "pelbo/fetcher/HttpDownload.h"
#include "pelbo/transfers/PicDownloadApi.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

long NumberFromEnv(const char* name, long fallback)
{
    const char* text = std::getenv(name);
    const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return value > 0 ? value : fallback;
}

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

bool RunProgram(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Serves one file to every GET on loopback, a thread per connection.
class FileServer {
public:
    explicit FileServer(fs::path file) : m_file(std::move(file)) {}
    ~FileServer()
    {
        m_stop = true;
        if (m_listener >= 0) {
            shutdown(m_listener, SHUT_RDWR);
            close(m_listener);
        }
        if (m_acceptor.joinable())
            m_acceptor.join();
        for (std::thread& worker : m_workers)
            worker.join();
    }

    bool Start()
    {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        if (m_listener < 0)
            return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(m_listener, 16) != 0 ||
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return false;
        m_port = ntohs(address.sin_port);
        m_acceptor = std::thread([this] { Accept(); });
        return true;
    }

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/file.bin"; }

private:
    void Accept()
    {
        while (!m_stop) {
            const int connection = accept(m_listener, nullptr, nullptr);
            if (connection < 0)
                return;
            m_workers.emplace_back([this, connection] { Serve(connection); });
        }
    }

    void Serve(int connection)
    {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t got = recv(connection, buffer, sizeof(buffer), 0);
            if (got <= 0) {
                close(connection);
                return;
            }
            request.append(buffer, static_cast<size_t>(got));
        }
        const int file = open(m_file.c_str(), O_RDONLY);
        struct stat info {};
        if (file < 0 || fstat(file, &info) != 0) {
            close(connection);
            return;
        }
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                 std::to_string(info.st_size) + "\r\nConnection: close\r\n\r\n";
        if (send(connection, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size())) {
            off_t offset = 0;
            while (offset < info.st_size) {
                if (sendfile(connection, file, &offset, static_cast<size_t>(info.st_size - offset)) <= 0)
                    break;
            }
        }
        close(file);
        close(connection);
    }

    fs::path m_file;
    int m_listener = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_acceptor;
    std::vector<std::thread> m_workers;
};

class DownloadWaiter : public Util::HttpDownload::CHttpDownloadEvent {
public:
    ~DownloadWaiter() override { DetachDownloadEvent(); }

    void OnHttpDownResult(const unsigned long long&, const unsigned int& code) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_code = static_cast<int>(code);
        m_done.notify_all();
    }

    int Wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_done.wait_for(lock, std::chrono::minutes(10), [this] { return m_code >= 0; });
        return m_code;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    int m_code = -1;
};

// Seconds of the best of two runs; -1 when a run failed or the file is not
// complete.
double BestSeconds(const std::function<bool()>& one, const fs::path& target, uintmax_t size)
{
    double best = -1;
    for (int run = 0; run < 2; ++run) {
        std::error_code ignored;
        fs::remove(target, ignored);
        const auto begin = Clock::now();
        if (!one() || fs::file_size(target, ignored) != size)
            return -1;
        const double took = std::chrono::duration<double>(Clock::now() - begin).count();
        best = best < 0 ? took : std::min(best, took);
    }
    fs::remove(target);
    return best;
}

void Row(const std::string& path, const std::string& ours, const std::string& reference, double ratio,
         const char* target)
{
    std::printf("%-48s | %14s | %14s | %7.2f | %s\n", path.c_str(), ours.c_str(), reference.c_str(), ratio, target);
}

std::string Format(const char* format, double value)
{
    char text[32];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

void LargeDownload(const fs::path& folder)
{
    const uintmax_t mb = static_cast<uintmax_t>(NumberFromEnv("PELBO_BENCH_DOWNLOAD_MB", 1024));
    const uintmax_t size = mb << 20;
    const fs::path source = folder / "source.bin";
    {
        std::ofstream out(source, std::ios::binary);
        std::vector<char> block(1 << 20);
        std::mt19937 random(7);
        for (char& byte : block)
            byte = static_cast<char>(random());
        for (uintmax_t i = 0; i < mb && out; ++i)
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    FileServer server(source);
    if (!server.Start()) {
        std::fprintf(stderr, "bench_downloads: the file server did not start\n");
        return;
    }
    const fs::path target = folder / "target.bin";
    const double ours = BestSeconds(
        [&] {
            DownloadWaiter waiter;
            unsigned long long id = 0;
            if (Util::HttpDownload::Download(Widen(server.Url()).c_str(), target.wstring().c_str(), &waiter, &id,
                                             Util::HttpDownload::E_SAVE_REPLACE, 0, 0) != 0)
                return false;
            return waiter.Wait() == 0;
        },
        target, size);
    const double reference =
        BestSeconds([&] { return RunProgram({"curl", "-s", "-f", "-o", target.string(), server.Url()}); }, target, size);
    const std::string path = "fetcher download " + std::to_string(mb) + " MiB vs curl -o";
    if (ours < 0 || reference < 0) {
        Row(path, ours < 0 ? "failed" : "", reference < 0 ? "failed" : "", 0, ">= 0.90");
        return;
    }
    const double megabytes = static_cast<double>(mb);
    Row(path, Format("%.0f MiB/s", megabytes / ours), Format("%.0f MiB/s", megabytes / reference), reference / ours,
        ">= 0.90");
}

class PictureCounter {
public:
    explicit PictureCounter(size_t expected)
        : m_expected(expected),
          m_connection(ServiceEvent::UpdatePicture().connect([this](int result, UniKey, const wchar_t*) {
              std::lock_guard<std::mutex> lock(m_mutex);
              ++m_reported;
              m_stored += result == 1 ? 1 : 0;
              m_changed.notify_all();
          }))
    {
    }

    // Pictures stored; fewer when some were given up or did not come.
    size_t Wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::minutes(10), [this] { return m_reported >= m_expected; });
        return m_stored;
    }

private:
    const size_t m_expected;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    size_t m_reported = 0;
    size_t m_stored = 0;
    event::scoped_connection m_connection;
};

void ManyPictures(const fs::path& folder)
{
    const size_t count = static_cast<size_t>(NumberFromEnv("PELBO_BENCH_PICTURES", 1000));
    DevServer::Options options;
    DevServer::Server server(options);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "bench_downloads: the local server did not start: %s\n", error.c_str());
        return;
    }
    std::vector<std::string> urls;
    for (size_t i = 0; i < count; ++i) {
        const std::string name = "head" + std::to_string(i) + ".png";
        urls.push_back(server.BaseUrl() +
                       DevServer::PublishPicture(server, name, DevServer::MakeHeadPng(96, 96, static_cast<uint32_t>(i))));
    }
    Util::Path::SetRootFolder((folder / "service").wstring().c_str());
    Http::SetHttpUrlHead(Widen(server.BaseUrl()).c_str());

    PictureCounter counter(count);
    const auto begin = Clock::now();
    for (size_t i = 0; i < count; ++i)
        PicDownloadApi::AppendTask(UniKey(KEY_TYPE_USER, i + 1), Widen(urls[i]).c_str());
    const size_t stored = counter.Wait();
    const double ours = std::chrono::duration<double>(Clock::now() - begin).count();
    PicDownloadApi::DoExit();

    const fs::path curlFolder = folder / "curl";
    fs::create_directories(curlFolder);
    const fs::path config = folder / "curl.cfg";
    {
        std::ofstream out(config);
        for (size_t i = 0; i < count; ++i)
            out << "url = \"" << urls[i] << "\"\noutput = \"" << (curlFolder / ("head" + std::to_string(i) + ".png")).string()
                << "\"\n";
    }
    const auto curlBegin = Clock::now();
    const bool curlOk = RunProgram({"curl", "-s", "-f", "--parallel", "--parallel-max", "6", "-K", config.string()});
    const double reference = std::chrono::duration<double>(Clock::now() - curlBegin).count();

    const std::string path = std::to_string(count) + " head pictures, PicDownloadApi vs curl -Z";
    if (stored != count || !curlOk) {
        Row(path, stored != count ? "failed" : "", curlOk ? "" : "failed", 0, "total time");
        return;
    }
    Row(path, Format("%.2f s", ours), Format("%.2f s", reference), reference / ours, "total time");
}

}  // namespace

int main()
{
    const fs::path folder = fs::temp_directory_path() / ("pelbo-bench-downloads-" + std::to_string(getpid()));
    fs::create_directories(folder);
    LargeDownload(folder);
    ManyPictures(folder);
    Util::HttpDownload::Shutdown();
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return 0;
}
