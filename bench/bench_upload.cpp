// Upload of one large file through bucketput to s3rver on loopback, against
// curl doing the same: `curl --aws-sigv4 -T` of the whole file for the single
// PUT, and for the multipart upload curl's own multipart sequence (initiate,
// the parts with `curl --parallel` as many at once as bucketput sends, then
// complete). s3rver copies every part once more into the object on complete,
// so a multipart upload there cannot come near one PUT's rate; that ratio is
// printed too, without a target. Each figure is the best of three runs. Also
// the peak memory of this process while bucketput uploads. The size is 1 GiB
// unless PELBO_BENCH_UPLOAD_MIB says otherwise. Prints table rows
// "path | ours | reference | ratio | target" for tools/scripts/bench.sh.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "pelbo/bucketput/OssUpload.h"
#include "pelbo/corekit/HttpSettings.h"
#include "support/S3rverProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const char kBucket[] = "bench";
constexpr int kRuns = 3;
const char kCurl[] = "curl -sS -f --no-progress-meter --aws-sigv4 aws:amz:us-east-1:s3 -u S3RVER:S3RVER"
                     " -H 'x-amz-security-token: bench-token'"
                     " -H 'x-amz-content-sha256: UNSIGNED-PAYLOAD'";

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
    const std::string command = std::string(kCurl) + " -o /dev/null -T '" + file.string() + "' '" + endpoint + "/" +
                                kBucket + "/" + key + "'";
    const auto start = Clock::now();
    const int rc = std::system(command.c_str());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return rc == 0 ? seconds : -1;
}

// What the command printed; false when it failed.
bool Capture(const std::string& command, std::string* output)
{
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return false;
    output->clear();
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        output->append(buffer, got);
    return pclose(pipe) == 0;
}

std::string Between(const std::string& text, const std::string& before, const std::string& after)
{
    const size_t start = text.find(before);
    if (start == std::string::npos)
        return std::string();
    const size_t end = text.find(after, start + before.size());
    return end == std::string::npos ? std::string() : text.substr(start + before.size(), end - start - before.size());
}

// The file cut into part files of the size bucketput uses for it; empty on
// failure. Copied in small pieces, so that the process's peak memory stays
// that of bucketput's uploads.
std::vector<fs::path> SplitParts(const fs::path& file, const fs::path& folder, unsigned long long partSize)
{
    std::vector<fs::path> parts;
    fs::create_directories(folder);
    std::error_code ec;
    const unsigned long long total = fs::file_size(file, ec);
    std::ifstream in(file, std::ios::binary);
    if (ec || !in)
        return {};
    std::vector<char> buffer(1 << 20);
    for (unsigned long long offset = 0; offset < total; offset += partSize) {
        const fs::path part = folder / ("part" + std::to_string(parts.size() + 1));
        std::ofstream out(part, std::ios::binary);
        for (unsigned long long left = std::min(partSize, total - offset); left > 0;) {
            const auto piece = static_cast<std::streamsize>(std::min<unsigned long long>(left, buffer.size()));
            if (!in.read(buffer.data(), piece) || !out.write(buffer.data(), piece))
                return {};
            left -= static_cast<unsigned long long>(piece);
        }
        parts.push_back(part);
    }
    return parts;
}

// Seconds for curl's multipart upload of the parts, from the initiate to the
// end of the complete; negative on failure.
double UploadCurlMultipart(const std::string& endpoint, const std::vector<fs::path>& parts, unsigned parallel,
                           unsigned long long total, const fs::path& scratch, const std::string& key)
{
    const std::string object = endpoint + "/" + kBucket + "/" + key;
    const auto start = Clock::now();
    std::string answer;
    if (!Capture(std::string(kCurl) + " -X POST '" + object + "?uploads='", &answer))
        return -1;
    const std::string uploadId = Between(answer, "<UploadId>", "</UploadId>");
    if (uploadId.empty() || uploadId.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return -1;
    std::string command = std::string(kCurl) + " --parallel --parallel-max " + std::to_string(parallel) +
                          " -w '%{url} %header{etag}\\n'";
    for (size_t i = 0; i < parts.size(); ++i) {
        command += " -o /dev/null -T '" + parts[i].string() + "' '" + object + "?partNumber=" + std::to_string(i + 1) +
                   "&uploadId=" + uploadId + "'";
    }
    if (!Capture(command, &answer))
        return -1;
    std::map<unsigned long, std::string> etags;
    std::istringstream lines(answer);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string number = Between(line, "partNumber=", "&");
        const size_t space = line.find(' ');
        if (!number.empty() && space != std::string::npos)
            etags[std::stoul(number)] = line.substr(space + 1);
    }
    if (etags.size() != parts.size())
        return -1;
    std::string body = "<CompleteMultipartUpload>";
    for (const auto& entry : etags) {
        body += "<Part><PartNumber>" + std::to_string(entry.first) + "</PartNumber><ETag>" + entry.second +
                "</ETag></Part>";
    }
    body += "</CompleteMultipartUpload>";
    const fs::path bodyFile = scratch / "complete.xml";
    {
        std::ofstream out(bodyFile, std::ios::binary);
        out << body;
    }
    if (!Capture(std::string(kCurl) + " -X POST -H 'Content-Type: application/xml' --data-binary '@" +
                     bodyFile.string() + "' '" + object + "?uploadId=" + uploadId + "'",
                 &answer) ||
        answer.find("<Error>") != std::string::npos)
        return -1;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // The object must be whole, or the figure is no upload's.
    std::string length;
    if (!Capture(std::string(kCurl) + " -I -o /dev/null -w '%header{content-length}' '" + object + "'", &length) ||
        std::strtoull(length.c_str(), nullptr, 10) != total)
        return -1;
    return seconds;
}

// Fastest of kRuns runs; negative when a run failed. Written data is flushed
// before each run, so that one run's writeback does not slow the next.
double Best(const std::function<double()>& run)
{
    double best = -1;
    for (int i = 0; i < kRuns; ++i) {
        sync();
        const double seconds = run();
        if (seconds < 0)
            return -1;
        best = best < 0 ? seconds : std::min(best, seconds);
    }
    return best;
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
    const Util::OssUpload::CUploadTuning tuning = Util::OssUpload::GetTuning();
    const std::vector<fs::path> parts = SplitParts(file, folder / "parts", tuning.partSize);
    const std::string url = s3rver.Url();
    const double reference = Best([&] { return UploadCurl(url, file, "curl.bin"); });
    const double single = Best([&] { return UploadOurs(url, file, "single.bin", false); });
    const double curlMultipart = parts.empty() ? -1 : Best([&] {
        return UploadCurlMultipart(url, parts, tuning.parallelParts, mib << 20, folder, "curl-multipart.bin");
    });
    const double multipart = Best([&] { return UploadOurs(url, file, "multipart.bin", true); });
    const double peak = PeakMiB();
    Util::OssUpload::Shutdown();

    auto rate = [mb](double seconds) { return seconds > 0 ? Format("%.1f MiB/s", mb / seconds) : std::string("failed"); };
    auto ratio = [](double seconds, double against) {
        return seconds > 0 && against > 0 ? Format("%.2f", against / seconds) : std::string("-");
    };
    Row(label + " one PUT, vs curl --aws-sigv4 -T", rate(single), rate(reference), ratio(single, reference),
        "ratio >= 0.7");
    Row(label + " multipart, vs curl multipart", rate(multipart), rate(curlMultipart),
        ratio(multipart, curlMultipart), "ratio >= 0.7");
    Row(label + " multipart, vs curl --aws-sigv4 -T", rate(multipart), rate(reference), ratio(multipart, reference),
        "none (s3rver copies the parts)");
    Row("upload peak memory of the process (VmHWM)", Format("%.1f MiB", peak), "-", "-", "< 64 MiB");
    fs::remove_all(folder);
    return single > 0 && multipart > 0 && reference > 0 && curlMultipart > 0 ? 0 : 1;
}
