#include "DownloadService.h"

#include <algorithm>
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

constexpr std::chrono::milliseconds kIdleLinger(2000);
constexpr int kBusyPollMs = 1000;
// About ten reports a second: enough for a smooth bar, few enough that a
// slow receiver never holds up the transfer.
constexpr std::chrono::milliseconds kReportInterval(100);

JobSettings ReadSettings(const HD::CDownloadLimits& limits)
{
    JobSettings settings;
    settings.caBundle = Netcall::WideToUtf8(Http::GetCaBundle().str());
    settings.connectTimeoutMs = static_cast<long>(Http::GetConnectTimeoutMs());
    settings.stallTimeoutMs = static_cast<long>(Http::GetRequestTimeoutMs());
    settings.maxBytes = limits.maxBytes;
    if (limits.lowSpeedBytesPerSecond > 0 && limits.lowSpeedSeconds > 0) {
        settings.lowSpeedBytesPerSecond = static_cast<long>(limits.lowSpeedBytesPerSecond);
        settings.lowSpeedSeconds = static_cast<long>(limits.lowSpeedSeconds);
    }
    return settings;
}

}  // namespace

DownloadService::DownloadService() = default;

DownloadService::~DownloadService()
{
    Shutdown();
    std::thread ended;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ended = std::move(m_thread);
    }
    if (ended.joinable()) {
        ended.join();
    }
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
            if (m_stopping) {
                return HD::kRefusedUnavailable;
            }
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
        if (m_stopping) {
            return HD::kRefusedUnavailable;
        }
        m_incoming.reserve(m_incoming.size() + 1);
        m_sinks.emplace(newId, sink);
        m_jobs.emplace(newId, job.get());
        m_incoming.push_back(std::move(job));
        if (!EnsureThreadLocked()) {
            Util::Log::Error(kLogTag, L"Download: the I/O thread could not start");
            m_sinks.erase(newId);
            m_jobs.erase(newId);
            // Destroyed after the lock is given up, like every job.
            job = std::move(m_incoming.back());
            m_incoming.pop_back();
            return HD::kRefusedUnavailable;
        }
        *id = newId;
        Util::Log::Info(kLogTag, L"Download %llu: %s", newId, MaskedUrl(utf8Url).c_str());
        WakeLocked();
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
    WakeLocked();
    return 1;
}

void DownloadService::DetachSink(HD::CHttpDownloadEvent* sink)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // The running delivery ends first: it may start another download for
    // this event (a retry), which must be forgotten with the others. On the
    // I/O thread no other delivery can be running, and waiting for the one
    // that destroys this event would never end.
    if (std::this_thread::get_id() != m_ioThreadId) {
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
    WakeLocked();
}

void DownloadService::Shutdown()
{
    std::thread running;
    std::vector<std::unique_ptr<DownloadJob>> dropped;
    CURLM* idleMulti = nullptr;
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
        if (m_running) {
            m_stopping = true;
            curl_multi_wakeup(m_multi);
            if (std::this_thread::get_id() == m_ioThreadId) {
                return;
            }
            running = std::move(m_thread);
        } else {
            running = std::move(m_thread);
            idleMulti = m_multi;
            m_multi = nullptr;
        }
    }
    if (running.joinable()) {
        running.join();
    }
    if (idleMulti != nullptr) {
        curl_multi_cleanup(idleMulti);
    }
}

void DownloadService::WakeLocked()
{
    if (m_running && !m_stopping) {
        curl_multi_wakeup(m_multi);
    }
}

bool DownloadService::EnsureThreadLocked()
{
    if (m_running) {
        return true;
    }
    // A thread that ended after an idle spell gave up the lock for good
    // before it cleared m_running, so joining it here cannot block on us.
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_multi == nullptr) {
        m_multi = curl_multi_init();
        if (m_multi == nullptr) {
            return false;
        }
    }
    try {
        m_thread = std::thread(&DownloadService::Run, this, m_multi);
    } catch (const std::exception&) {
        return false;
    }
    m_running = true;
    m_ioThreadId = m_thread.get_id();
    return true;
}

void DownloadService::Run(CURLM* multi)
{
    ActiveMap active;
    auto lastBusy = std::chrono::steady_clock::now();
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        const bool idleExpired = active.empty() && now - lastBusy >= kIdleLinger;
        if (!TakeWork(multi, active, idleExpired)) {
            return;
        }
        int stillRunning = 0;
        curl_multi_perform(multi, &stillRunning);
        FinishDone(multi, active);
        int timeoutMs = kBusyPollMs;
        if (!active.empty()) {
            lastBusy = std::chrono::steady_clock::now();
        } else {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                kIdleLinger - (std::chrono::steady_clock::now() - lastBusy));
            timeoutMs = static_cast<int>(std::max<long long>(1, left.count()));
        }
        curl_multi_poll(multi, nullptr, 0, timeoutMs, nullptr);
    }
}

bool DownloadService::TakeWork(CURLM* multi, ActiveMap& active, bool idleExpired)
{
    std::vector<std::unique_ptr<DownloadJob>> incoming;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_stopping) {
            lock.unlock();
            StopThread(multi, active);
            return false;
        }
        if (idleExpired && m_incoming.empty()) {
            m_running = false;
            m_ioThreadId = std::thread::id();
            return false;
        }
        incoming.swap(m_incoming);
    }
    // Stopped downloads end here rather than at libcurl's next progress
    // call, which may be a second away while nothing arrives.
    for (auto it = active.begin(); it != active.end();) {
        if (!it->second->StopRequested()) {
            ++it;
            continue;
        }
        curl_multi_remove_handle(multi, it->second->Handle());
        std::unique_ptr<DownloadJob> job = std::move(it->second);
        it = active.erase(it);
        Finish(std::move(job), CURLE_ABORTED_BY_CALLBACK, false);
    }
    for (auto& job : incoming) {
        if (job->StopRequested()) {
            Finish(std::move(job), CURLE_ABORTED_BY_CALLBACK, true);
            continue;
        }
        const CURLMcode rc = curl_multi_add_handle(multi, job->Handle());
        if (rc != CURLM_OK) {
            Util::Log::Error(kLogTag, L"Download %llu: not started: %S", job->Id(), curl_multi_strerror(rc));
            Finish(std::move(job), CURLE_FAILED_INIT, false);
            continue;
        }
        const unsigned long long id = job->Id();
        active.emplace(id, std::move(job));
    }
    return true;
}

void DownloadService::FinishDone(CURLM* multi, ActiveMap& active)
{
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
        if (msg->msg != CURLMSG_DONE) {
            continue;
        }
        // The message dies with the handle's removal: read it first.
        CURL* easy = msg->easy_handle;
        CURLcode result = msg->data.result;
        DownloadJob* job = DownloadJob::FromHandle(easy);
        curl_multi_remove_handle(multi, easy);
        if (job->StartOver(result)) {
            if (curl_multi_add_handle(multi, easy) == CURLM_OK) {
                continue;
            }
            result = CURLE_FAILED_INIT;
        }
        auto node = active.extract(job->Id());
        if (!node.empty()) {
            Finish(std::move(node.mapped()), result, false);
        }
    }
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

void DownloadService::StopThread(CURLM* multi, ActiveMap& active)
{
    for (auto& entry : active) {
        curl_multi_remove_handle(multi, entry.second->Handle());
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& entry : active) {
            m_jobs.erase(entry.first);
        }
    }
    active.clear();
    curl_multi_cleanup(multi);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_multi == multi) {
        m_multi = nullptr;
    }
    m_running = false;
    m_stopping = false;
    m_ioThreadId = std::thread::id();
}

}  // namespace Fetcher
