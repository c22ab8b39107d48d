// Upload of one large file through bucketput against
// `curl --aws-sigv4 -T` of the same file to the same server (s3rver on
// loopback), side by side, and the peak memory of this process while
// bucketput uploads. The size is 1 GiB unless PELBO_BENCH_UPLOAD_MIB says
// otherwise. Prints table rows "path | ours | reference | ratio | target"
// for tools/scripts/bench.sh.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "bucketput/OssUpload.h"
#include "corekit/HttpSettings.h"
#include "support/S3rverProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const char kBucket[] = "bench";

void Row(const std::string& path, const std::string& ours, const std::string& reference, const std::string& ratio,
         const std::string& target)
{
    std::printf("%-48s | %14s | %14s | %7s | %s\n", path.c_str(), ours.c_str(), reference.c_str(), ratio.c_str(),
                target.c_str());
}

std::string Format(const char* format, double value)
{
    char text[64];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Peak resident memory of this process in MiB (VmHWM).
double PeakMiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    }
    return 0;
}

class EndWaiter : public Util::OssUpload::CUploadEvent {
public:
    ~EndWaiter() override { DetachUploadEvent(); }
    void OnFileEvent(int& kind, int&, int& code, const Util::OssUpload::CFileObjExt&) override
    {
        if (kind != Util::OssUpload::kEventEnd)
            return;
        std::lock_guard<std::mutex> lock(m_lock);
        m_code = code;
        m_done = true;
        m_changed.notify_all();
    }
    int Wait()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait(lock, [this] { return m_done; });
        return m_code;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_done = false;
    int m_code = -1;
};

// Seconds for one upload through bucketput; negative on failure.
double UploadOurs(const std::string& endpoint, const fs::path& file, const std::string& key, bool multipart)
{
    Util::OssUpload::CFileObjExt record;
    record.strLocalPath = file.wstring();
    record.strBucket = Widen(kBucket);
    record.strObjectPath = Widen(key);
    record.strAccessKeyId = L"S3RVER";
    record.strAccessKeySecret = L"S3RVER";
    record.strSecurityToken = L"bench-token";
    record.strEndPoint = Widen(endpoint);
    record.nOption1 = multipart ? 1 : 0;
    record.nOption2 = 1;
    EndWaiter waiter;
    unsigned long long id = 0;
    const auto start = Clock::now();
    const unsigned started = Util::OssUpload::Start(record, id, &waiter);
    if (started != Util::OssUpload::kStartedSingle && started != Util::OssUpload::kStartedMultipart)
        return -1;
    const int code = waiter.Wait();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return code == 0 ? seconds : -1;
}

double UploadCurl(const std::string& endpoint, const fs::path& file, const std::string& key)
{
    const std::string command = "curl -sS -f -o /dev/null --aws-sigv4 aws:amz:us-east-1:s3 -u S3RVER:S3RVER"
                                " -H 'x-amz-security-token: bench-token'"
                                " -H 'x-amz-content-sha256: UNSIGNED-PAYLOAD' -T '" +
                                file.string() + "' '" + endpoint + "/" + kBucket + "/" + key + "'";
    const auto start = Clock::now();
    const int rc = std::system(command.c_str());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return rc == 0 ? seconds : -1;
}

}  // namespace

int main()
{
    const char* sizeText = std::getenv("PELBO_BENCH_UPLOAD_MIB");
    const unsigned long long mib = sizeText != nullptr ? std::strtoull(sizeText, nullptr, 10) : 1024;
    const std::string label = "upload " + std::to_string(mib) + " MiB";
    const std::string node = TestSupport::S3rverProcess::FindNode();
    const std::string module = std::string(PELBO_NPM_PREFIX) + "/node_modules/s3rver";
    if (mib == 0 || node.empty() || !fs::exists(module + "/package.json")) {
        Row(label + " (no node or s3rver)", "skipped", "-", "-", "ratio >= 0.7");
        return 0;
    }
    const fs::path folder = fs::temp_directory_path() / ("pelbo-bench-upload-" + std::to_string(std::rand()));
    fs::create_directories(folder);
    const fs::path file = folder / "upload.bin";
    {
        std::ofstream out(file, std::ios::binary);
        std::vector<char> chunk(1 << 20);
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<char>((i * 2654435761u) >> 13);
        for (unsigned long long i = 0; i < mib; ++i) {
            chunk[0] = static_cast<char>(i);
            out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        }
    }
    TestSupport::S3rverProcess s3rver;
    std::string error;
    if (!s3rver.Start(node, module, (folder / "store").string(), kBucket, &error)) {
        Row(label + " (s3rver failed: " + error + ")", "skipped", "-", "-", "ratio >= 0.7");
        fs::remove_all(folder);
        return 1;
    }
    Http::SetOssPathStyle(1);
    const double mb = static_cast<double>(mib);
    const double reference = UploadCurl(s3rver.Url(), file, "curl.bin");
    const double single = UploadOurs(s3rver.Url(), file, "single.bin", false);
    const double multipart = UploadOurs(s3rver.Url(), file, "multipart.bin", true);
    const double peak = PeakMiB();
    Util::OssUpload::Shutdown();

    auto rate = [mb](double seconds) { return seconds > 0 ? Format("%.1f MiB/s", mb / seconds) : std::string("failed"); };
    auto ratio = [reference](double seconds) {
        return seconds > 0 && reference > 0 ? Format("%.2f", reference / seconds) : std::string("-");
    };
    Row(label + " one PUT, vs curl --aws-sigv4 -T", rate(single), rate(reference), ratio(single), "ratio >= 0.7");
    Row(label + " multipart, vs curl --aws-sigv4 -T", rate(multipart), rate(reference), ratio(multipart),
        "ratio >= 0.7");
    Row("upload peak memory of the process (VmHWM)", Format("%.1f MiB", peak), "-", "-", "< 64 MiB");
    fs::remove_all(folder);
    return single > 0 && multipart > 0 && reference > 0 ? 0 : 1;
}
