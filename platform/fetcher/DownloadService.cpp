#include "DownloadService.h"

#include <chrono>
#include <exception>
#include <string>
#include <utility>

#include "DownloadJob.h"
#include "DownloadLog.h"
#include "UrlScheme.h"
#include "UrlText.h"
#include "Utf8Text.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"

namespace Fetcher {
namespace {

namespace HD = Util::HttpDownload;

// About ten reports a second: enough for a smooth bar, few enough that a
// slow receiver never holds up the transfer.
constexpr std::chrono::milliseconds kReportInterval(100);

JobSettings ReadSettings(const HD::CDownloadLimits& limits)
{
    JobSettings settings;
    settings.maxBytes = limits.maxBytes;
    if (limits.lowSpeedBytesPerSecond > 0 && limits.lowSpeedSeconds > 0) {
        settings.lowSpeedBytesPerSecond = static_cast<long>(limits.lowSpeedBytesPerSecond);
        settings.lowSpeedSeconds = static_cast<long>(limits.lowSpeedSeconds);
    }
    return settings;
}

}  // namespace

DownloadService::DownloadService() : m_engine(Transfer::Engine::Shared())
{
    m_engine->Attach(*this);
}

DownloadService::~DownloadService()
{
    Shutdown();
    m_engine->Detach(*this);
}

unsigned DownloadService::Download(const wchar_t* url, const wchar_t* path, HD::CHttpDownloadEvent* sink,
                                   unsigned long long* id, int mode, const HD::CDownloadLimits& limits)
{
    try {
        if (url == nullptr || path == nullptr || path[0] == L'\0' || sink == nullptr || id == nullptr ||
            (mode != HD::E_SAVE_REPLACE && mode != HD::E_SAVE_RESUME)) {
            Util::Log::Warn(kLogTag, L"Download: refused, missing argument");
            return HD::kRefusedArgument;
        }
        const std::string utf8Url = Netcall::EncodeUrlForCurl(Netcall::WideToUtf8(url));
        if (SchemeOf(utf8Url) == UrlScheme::kOther) {
            Util::Log::Warn(kLogTag, L"Download: refused %s, not an http(s) address", MaskedUrl(utf8Url).c_str());
            return HD::kRefusedArgument;
        }
        Util::Curl::Init();
        unsigned long long newId = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            newId = ++m_lastId;
        }
        unsigned refusal = HD::kRefusedUnavailable;
        std::string error;
        const auto destination = std::filesystem::u8path(Netcall::WideToUtf8(path));
        const bool resumable = mode == HD::E_SAVE_RESUME;
        std::function<void()> release;
        if (resumable && !ClaimPartial(destination, &release)) {
            Util::Log::Warn(kLogTag, L"Download: refused %s: another download resumes %S", MaskedUrl(utf8Url).c_str(),
                            destination.u8string().c_str());
            return HD::kRefusedFile;
        }
        // Until the job holds the claim, leaving this function gives it back.
        struct ClaimGuard {
            std::function<void()>& release;
            ~ClaimGuard()
            {
                if (release) {
                    release();
                }
            }
        } claimGuard{release};
        std::unique_ptr<DownloadJob> job =
            DownloadJob::Create(newId, utf8Url, destination, resumable, ReadSettings(limits), &refusal, &error);
        if (!job) {
            Util::Log::Warn(kLogTag, L"Download: refused %s: %S", MaskedUrl(utf8Url).c_str(), error.c_str());
            return refusal;
        }
        job->SetReleaseFn(std::exchange(release, nullptr));
        job->SetProgressFn([this](DownloadJob& running, unsigned long long done, unsigned long long total) {
            return ReportProgress(running, done, total, false);
        });
        std::lock_guard<std::mutex> lock(m_mutex);
        m_incoming.reserve(m_incoming.size() + 1);
        m_sinks.emplace(newId, sink);
        m_jobs.emplace(newId, job.get());
        m_incoming.push_back(std::move(job));
        if (!m_engine->Wake()) {
            Util::Log::Error(kLogTag, L"Download: the transfer thread could not start");
            m_sinks.erase(newId);
            m_jobs.erase(newId);
            // Destroyed after the lock is given up, like every job.
            job = std::move(m_incoming.back());
            m_incoming.pop_back();
            return HD::kRefusedUnavailable;
        }
        *id = newId;
        Util::Log::Info(kLogTag, L"Download %llu: %s", newId, MaskedUrl(utf8Url).c_str());
        return HD::kAccepted;
    } catch (const std::exception& e) {
        Util::Log::Error(kLogTag, L"Download: %S", e.what());
        return HD::kRefusedUnavailable;
    }
}

bool DownloadService::ClaimPartial(const std::filesystem::path& destination, std::function<void()>* release)
{
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(destination, ec);
    const std::string key = (ec ? destination : absolute).lexically_normal().u8string();
    std::lock_guard<std::mutex> lock(m_claimMutex);
    if (!m_claimed.insert(key).second) {
        return false;
    }
    *release = [this, key] {
        std::lock_guard<std::mutex> released(m_claimMutex);
        m_claimed.erase(key);
    };
    return true;
}

unsigned DownloadService::Stop(unsigned long long id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_jobs.find(id);
    if (it == m_jobs.end()) {
        return 0;
    }
    it->second->RequestStop();
    m_engine->Wake();
    return 1;
}

void DownloadService::DetachSink(HD::CHttpDownloadEvent* sink)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // The running delivery ends first: it may start another download for
    // this event (a retry), which must be forgotten with the others. On the
    // engine's thread no other delivery can be running, and waiting for the
    // one that destroys this event would never end.
    if (!m_engine->OnEngineThread()) {
        m_deliveryEnded.wait(lock, [this, sink] { return m_deliveringTo != sink; });
    }
    for (auto it = m_sinks.begin(); it != m_sinks.end();) {
        if (it->second != sink) {
            ++it;
            continue;
        }
        auto job = m_jobs.find(it->first);
        if (job != m_jobs.end()) {
            job->second->RequestStop();
        }
        it = m_sinks.erase(it);
    }
    m_engine->Wake();
}

void DownloadService::Shutdown()
{
    std::vector<std::unique_ptr<DownloadJob>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sinks.clear();
        for (auto& job : m_jobs) {
            job.second->RequestStop();
        }
        for (auto& job : m_incoming) {
            m_jobs.erase(job->Id());
        }
        dropped.swap(m_incoming);
    }
    // Without the lock: the engine's thread takes it to stop us.
    m_engine->Stop(*this);
}

Transfer::Client::Turn DownloadService::Prepare(Transfer::Loop& loop)
{
    std::vector<std::unique_ptr<DownloadJob>> incoming;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        incoming.swap(m_incoming);
    }
    // Stopped downloads end here rather than at libcurl's next progress
    // call, which may be a second away while nothing arrives.
    for (auto it = m_active.begin(); it != m_active.end();) {
        if (!it->second->StopRequested()) {
            ++it;
            continue;
        }
        loop.Remove(it->second->Handle());
        std::unique_ptr<DownloadJob> job = std::move(it->second);
        it = m_active.erase(it);
        Finish(std::move(job), CURLE_ABORTED_BY_CALLBACK, false);
    }
    for (auto& job : incoming) {
        if (job->StopRequested()) {
            Finish(std::move(job), CURLE_ABORTED_BY_CALLBACK, true);
            continue;
        }
        const CURLMcode rc = loop.Add(job->Handle());
        if (rc != CURLM_OK) {
            Util::Log::Error(kLogTag, L"Download %llu: not started: %S", job->Id(), curl_multi_strerror(rc));
            Finish(std::move(job), CURLE_FAILED_INIT, false);
            continue;
        }
        const unsigned long long id = job->Id();
        m_active.emplace(id, std::move(job));
    }
    Turn turn;
    turn.busy = !m_active.empty();
    return turn;
}

void DownloadService::Finished(Transfer::Loop& loop, CURL* easy, CURLcode result)
{
    DownloadJob* job = DownloadJob::FromHandle(easy);
    if (job->StartOver(result)) {
        if (loop.Add(easy) == CURLM_OK) {
            return;
        }
        result = CURLE_FAILED_INIT;
    }
    auto node = m_active.extract(job->Id());
    if (!node.empty()) {
        Finish(std::move(node.mapped()), result, false);
    }
}

bool DownloadService::Stop(Transfer::Loop& loop)
{
    std::vector<std::unique_ptr<DownloadJob>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_active.begin(); it != m_active.end();) {
            // What was asked for after the stop goes on.
            if (m_sinks.count(it->first) != 0) {
                ++it;
                continue;
            }
            loop.Remove(it->second->Handle());
            m_jobs.erase(it->first);
            dropped.push_back(std::move(it->second));
            it = m_active.erase(it);
        }
    }
    return true;
}

void DownloadService::Finish(std::unique_ptr<DownloadJob> job, CURLcode result, bool stoppedBeforeStart)
{
    const unsigned long long id = job->Id();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_jobs.erase(id);
    }
    const unsigned code = stoppedBeforeStart ? HD::kDownStopped : job->Finish(result);
    if (code == HD::kDownOk) {
        const unsigned long long size = job->BytesWritten();
        ReportProgress(*job, size, size, true);
        Util::Log::Info(kLogTag, L"Download %llu: complete, %llu bytes", id, size);
    } else if (code != HD::kDownStopped) {
        Util::Log::Warn(kLogTag, L"Download %llu from %s failed (%u): %S", id, MaskedUrl(job->Url()).c_str(), code,
                        job->Describe(result).c_str());
    }
    // The temporary file goes before the result is told, so a caller that
    // looks at the folder then finds nothing of a failed download.
    job.reset();
    HD::CHttpDownloadEvent* sink = BeginDelivery(id, true);
    if (sink == nullptr) {
        return;
    }
    try {
        sink->OnHttpDownResult(id, code);
    } catch (...) {
        Util::Log::Error(kLogTag, L"Download %llu: result delivery threw", id);
    }
    EndDelivery();
}

bool DownloadService::ReportProgress(DownloadJob& job, unsigned long long done, unsigned long long total, bool force)
{
    DownloadJob::Reported& last = job.LastReport();
    const auto now = std::chrono::steady_clock::now();
    if (last.any && (done == last.done || (!force && now - last.at < kReportInterval))) {
        return true;
    }
    if (!last.any && done == 0 && !force) {
        return true;
    }
    HD::CHttpDownloadEvent* sink = BeginDelivery(job.Id(), false);
    if (sink == nullptr) {
        return true;
    }
    last.any = true;
    last.at = now;
    last.done = done;
    try {
        sink->OnHttpDownProgress(job.Id(), done, total);
    } catch (...) {
        Util::Log::Error(kLogTag, L"Download %llu: progress delivery threw", job.Id());
    }
    EndDelivery();
    return true;
}

HD::CHttpDownloadEvent* DownloadService::BeginDelivery(unsigned long long id, bool last)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_sinks.find(id);
    if (it == m_sinks.end()) {
        return nullptr;
    }
    HD::CHttpDownloadEvent* sink = it->second;
    if (last) {
        m_sinks.erase(it);
    }
    m_deliveringTo = sink;
    return sink;
}

void DownloadService::EndDelivery()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_deliveringTo = nullptr;
    }
    m_deliveryEnded.notify_all();
}

}  // namespace Fetcher
