// A mixed load through the library's one transfer engine against the same
// work on three separate libcurl loops: 2,000 REST POSTs (16 in flight), 20
// head pictures of 512 KiB and a 256 MiB multipart upload, all started at
// once against one local server over https. Compares the total time and the
// connections opened, median of three rounds of each. Prints table rows
// "path | ours | reference | ratio | target" for tools/scripts/bench.sh.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "MixedWork.h"
#include "devserver/DevServer.h"
#include "devserver/ObjectStore.h"
#include "devserver/State.h"
#include "pelbo/bucketput/OssUpload.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/fetcher/HttpDownload.h"
#include "pelbo/netcall/HttpsRequest.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kRounds = 3;
constexpr int kPictures = 20;
constexpr size_t kPictureBytes = 512u << 10;
constexpr size_t kUploadBytes = 256u << 20;
constexpr size_t kPartBytes = 8u << 20;

std::wstring Widen(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// Counts what has ended, of every family, and whether all of it went well.
class Tally {
public:
    void Done(bool ok)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_done;
        m_ok = m_ok && ok;
        m_changed.notify_all();
    }
    bool Wait(int count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::minutes(5), [&] { return m_done >= count; }) && m_ok;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_done = 0;
    bool m_ok = true;
};

class RestWindow : public IHttpsRequestSink {
public:
    RestWindow(const MixedWork& work, Tally& tally) : m_work(work), m_tally(tally)
    {
        m_info.strUrl = Widen(work.restUrl);
        m_info.strContent = Widen(work.restBody);
    }
    ~RestWindow() override { DetachHttpsSink(); }
    bool Start()
    {
        for (int i = 0; i < m_work.restInFlight; ++i)
            if (!SendNext())
                return false;
        return true;
    }
    void OnHttpsReqResult(unsigned&, const std::wstring&, const std::wstring&, int& completed) override
    {
        m_tally.Done(completed == 1);
        if (!SendNext())
            m_tally.Done(false);
    }

private:
    bool SendNext()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_sent >= m_work.restRequests)
                return true;
            ++m_sent;
        }
        unsigned id = 0;
        return Util::HttpsRequest::Request(id, this, m_info) != 0;
    }

    const MixedWork& m_work;
    Tally& m_tally;
    ST_HttpsReqInfo m_info;
    std::mutex m_mutex;
    int m_sent = 0;
};

class Pictures : public Util::HttpDownload::CHttpDownloadEvent {
public:
    explicit Pictures(Tally& tally) : m_tally(tally) {}
    ~Pictures() override { DetachDownloadEvent(); }
    void OnHttpDownResult(const unsigned long long&, const unsigned int& code) override
    {
        m_tally.Done(code == Util::HttpDownload::kDownOk);
    }

private:
    Tally& m_tally;
};

class Upload : public Util::OssUpload::CUploadEvent {
public:
    explicit Upload(Tally& tally) : m_tally(tally) {}
    ~Upload() override { DetachUploadEvent(); }
    void OnFileEvent(int& kind, int&, int& code, const Util::OssUpload::CFileObjExt&) override
    {
        if (kind == Util::OssUpload::kEventEnd)
            m_tally.Done(code == Util::OssUpload::kEndOk);
    }

private:
    Tally& m_tally;
};

bool RunOurs(const MixedWork& work, const fs::path& folder, const fs::path& source)
{
    Tally tally;
    RestWindow rest(work, tally);
    Pictures pictures(tally);
    Upload upload(tally);
    Util::OssUpload::CFileObjExt file;
    file.strLocalPath = source.wstring();
    file.strBucket = Widen(DevServer::ObjectStore::kDocsBucket);
    file.strObjectPath = L"docs/bench/mixed.bin";
    file.strAccessKeyId = Widen(work.accessKeyId);
    file.strAccessKeySecret = Widen(work.secret);
    file.strSecurityToken = Widen(work.token);
    file.strEndPoint = Widen(work.objectUrl.substr(0, work.objectUrl.find('/', 8)));
    file.nOption1 = 1;
    unsigned long long uploadId = 0;
    if (Util::OssUpload::Start(file, uploadId, &upload) != Util::OssUpload::kStartedMultipart)
        return false;
    for (size_t i = 0; i < work.pictureUrls.size(); ++i) {
        unsigned long long id = 0;
        const fs::path target = folder / ("picture-" + std::to_string(i) + ".png");
        if (Util::HttpDownload::Download(Widen(work.pictureUrls[i]).c_str(), target.wstring().c_str(), &pictures, &id,
                                         Util::HttpDownload::E_SAVE_REPLACE, 0, 0) != Util::HttpDownload::kAccepted)
            return false;
    }
    if (!rest.Start())
        return false;
    return tally.Wait(work.restRequests + static_cast<int>(work.pictureUrls.size()) + 1);
}

struct Round {
    double seconds = -1;
    double connections = 0;
};

template <typename Work>
Round Measure(DevServer::Server& server, Work work)
{
    const uint64_t connections = server.ConnectionCount();
    const auto begin = Clock::now();
    Round round;
    if (work())
        round.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    round.connections = static_cast<double>(server.ConnectionCount() - connections);
    return round;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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

}  // namespace

int main()
{
    DevServer::Options options;
    options.tls = true;
    options.threads = 4;
    DevServer::Server server(options);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "bench_mixed: server did not start: %s\n", error.c_str());
        return 1;
    }
    server.Route("POST", "/v1/account/refreshtoken", [](const DevServer::HttpRequest&) {
        DevServer::HttpResponse response;
        response.body = "{\"code\":0,\"data\":{\"token\":\"bench\"}}";
        return response;
    });
    DevServer::Server::State& state = server.GetState();
    const std::string port = std::to_string(server.Port());
    MixedWork work;
    work.caFile = server.CaCertFile();
    work.restUrl = server.BaseUrl() + "/v1/account/refreshtoken";
    work.restBody = "{\n   \"token\" : \"bench\"\n}\n";
    work.restRequests = 2000;
    work.restInFlight = 16;
    for (int i = 0; i < kPictures; ++i) {
        const std::string name = "picture-" + std::to_string(i);
        state.downloads.Put(name, std::string(kPictureBytes, static_cast<char>('a' + i)));
        work.pictureUrls.push_back(server.BaseUrl() + "/download/file?name=" + name);
    }
    const auto credentials = state.storage.Issue(DevServer::ObjectStore::kDocsBucket, "docs/bench/");
    work.objectUrl = "https://oss-local.localhost:" + port + "/" + DevServer::ObjectStore::kDocsBucket +
                     "/docs/bench/mixed.bin";
    work.accessKeyId = credentials.accessKeyId;
    work.secret = credentials.secret;
    work.token = credentials.token;
    work.uploadBytes = kUploadBytes;
    work.partBytes = kPartBytes;

    const fs::path folder = fs::temp_directory_path() / ("pelbo-bench-mixed-" + port);
    fs::create_directories(folder);
    const fs::path source = folder / "upload.bin";
    {
        std::ofstream out(source, std::ios::binary);
        const std::string block(1u << 20, 'u');
        for (size_t i = 0; i < kUploadBytes / block.size(); ++i)
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    Http::SetCaBundle(Widen(work.caFile).c_str());
    Http::SetOssPathStyle(1);
    Http::SetOssScheme(L"https");
    Util::Curl::Init();

    std::vector<double> oursTimes, oursConnections, threeTimes, threeConnections;
    bool failed = false;
    for (int i = 0; i < kRounds && !failed; ++i) {
        const Round ours = Measure(server, [&] { return RunOurs(work, folder, source); });
        Util::HttpsRequest::Shutdown();
        const Round three = Measure(server, [&] { return RunThreeLoops(work); });
        failed = ours.seconds < 0 || three.seconds < 0;
        oursTimes.push_back(ours.seconds);
        oursConnections.push_back(ours.connections);
        threeTimes.push_back(three.seconds);
        threeConnections.push_back(three.connections);
    }
    fs::remove_all(folder);
    if (failed) {
        std::fprintf(stderr, "bench_mixed: an exchange failed (ours %.2f s, three loops %.2f s)\n", oursTimes.back(),
                     threeTimes.back());
        return 1;
    }
    const double oursTime = Median(oursTimes);
    const double threeTime = Median(threeTimes);
    Row("mixed load total time, one engine vs three loops", Format("%.2f s", oursTime), Format("%.2f s", threeTime),
        threeTime / oursTime, ">= 1.00 (median of 3)");
    const double oursOpened = Median(oursConnections);
    const double threeOpened = Median(threeConnections);
    Row("mixed load connections opened", Format("%.0f", oursOpened), Format("%.0f", threeOpened),
        oursOpened > 0 ? threeOpened / oursOpened : 0, "> 1.00 (fewer)");
    return 0;
}
