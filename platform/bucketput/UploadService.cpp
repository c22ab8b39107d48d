#include "UploadService.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>

#include "S3Text.h"
#include "UploadJob.h"
#include "Utf8Text.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"

namespace Bucketput {
namespace {

using namespace Util::OssUpload;

const wchar_t* const kTag = L"OssUpload";
constexpr std::chrono::milliseconds kIdleLinger(2000);
// About ten progress events a second.
constexpr std::chrono::milliseconds kProgressInterval(100);
// Longest wait of the loop while uploads run: progress is due this often.
constexpr int kBusyPollMs = 50;

std::mutex& TuningLock()
{
    static std::mutex lock;
    return lock;
}

CUploadTuning& TuningValue()
{
    static CUploadTuning tuning;
    return tuning;
}

std::wstring Wide(const std::string& text)
{
    return Netcall::Utf8ToWide(text);
}

}  // namespace

CUploadTuning CurrentTuning()
{
    std::lock_guard<std::mutex> lock(TuningLock());
    return TuningValue();
}

void ReplaceTuning(const CUploadTuning& tuning)
{
    std::lock_guard<std::mutex> lock(TuningLock());
    TuningValue() = tuning;
}

UploadService::UploadService() = default;

UploadService::~UploadService()
{
    Shutdown();
}

unsigned UploadService::Start(const CFileObjExt& file, unsigned long long& id, CUploadEvent* event)
{
    try {
        if (event == nullptr || file.strLocalPath.empty() || file.strAccessKeyId.empty()) {
            Util::Log::Warn(kTag, L"Start: refused, missing event, path or access key");
            return kRefusedArgument;
        }
        JobSettings settings;
        std::string error;
        const bool pathStyle = Http::GetOssPathStyle() != 0;
        if (!BuildObjectUrl(Netcall::WideToUtf8(file.strEndPoint), Netcall::WideToUtf8(file.strBucket),
                            Netcall::WideToUtf8(file.strObjectPath), pathStyle, &settings.objectUrl, &error)) {
            Util::Log::Warn(kTag, L"Start: refused %s: %s", file.strLocalPath.c_str(), Wide(error).c_str());
            return kRefusedArgument;
        }
        settings.accessKeyId = Netcall::WideToUtf8(file.strAccessKeyId);
        settings.secret = Netcall::WideToUtf8(file.strAccessKeySecret);
        settings.token = Netcall::WideToUtf8(file.strSecurityToken);
        settings.contentType = Netcall::WideToUtf8(file.strContentType);
        settings.caBundle = Netcall::WideToUtf8(Http::GetCaBundle().str());
        settings.connectTimeoutMs = static_cast<long>(Http::GetConnectTimeoutMs());
        settings.tuning = CurrentTuning();
        settings.multipartAllowed = file.nOption1 != 0;
        settings.retries = file.nOption2 != 0;
        if (settings.secret.find_first_of("\r\n") != std::string::npos ||
            settings.token.find_first_of("\r\n") != std::string::npos ||
            settings.contentType.find_first_of("\r\n") != std::string::npos) {
            Util::Log::Warn(kTag, L"Start: refused %s: a credential or the type holds a line break",
                            file.strLocalPath.c_str());
            return kRefusedArgument;
        }
        if (!Util::Curl::Init())
            return kRefusedUnavailable;

        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return kRefusedUnavailable;
        const unsigned long long newId = ++m_lastId;
        unsigned refusal = kRefusedFile;
        std::unique_ptr<UploadJob> job = UploadJob::Create(newId, file, settings, &refusal, &error);
        if (!job) {
            Util::Log::Warn(kTag, L"Start: refused %s: %s", file.strLocalPath.c_str(), Wide(error).c_str());
            return refusal;
        }
        const bool multipart = job->Multipart();
        const unsigned long long total = job->TotalBytes();
        m_incoming.reserve(m_incoming.size() + 1);
        m_events.emplace(newId, event);
        m_incoming.push_back(std::move(job));
        if (!EnsureThreadLocked()) {
            Util::Log::Error(kTag, L"Start: the I/O thread could not start");
            m_events.erase(newId);
            m_incoming.pop_back();
            return kRefusedUnavailable;
        }
        id = newId;
        WakeLocked();
        Util::Log::Info(kTag, L"Start: upload %llu of %s (%llu bytes, %s) to %s", newId, file.strLocalPath.c_str(),
                        total, multipart ? L"multipart" : L"single", Wide(settings.objectUrl).c_str());
        return multipart ? kStartedMultipart : kStartedSingle;
    } catch (const std::exception& e) {
        Util::Log::Error(kTag, L"Start: %S", e.what());
        return kRefusedUnavailable;
    }
}

void UploadService::Stop(unsigned long long id)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_events.erase(id) == 0)
        return;
    m_stopped.push_back(id);
    WakeLocked();
    Util::Log::Info(kTag, L"Stop: upload %llu", id);
    if (std::this_thread::get_id() != m_ioThreadId)
        m_deliveryEnded.wait(lock, [this, id] { return m_deliveringId != id; });
}

void UploadService::DetachEvent(CUploadEvent* event)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (auto it = m_events.begin(); it != m_events.end();) {
        if (it->second == event) {
            m_stopped.push_back(it->first);
            it = m_events.erase(it);
        } else {
            ++it;
        }
    }
    WakeLocked();
    if (std::this_thread::get_id() != m_ioThreadId)
        m_deliveryEnded.wait(lock, [this, event] { return m_deliveringTo != event; });
}

void UploadService::Shutdown()
{
    std::thread running;
    std::vector<std::unique_ptr<UploadJob>> dropped;
    CURLM* idleMulti = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.clear();
        dropped.swap(m_incoming);
        if (m_running) {
            m_stopping = true;
            curl_multi_wakeup(m_multi);
            if (std::this_thread::get_id() == m_ioThreadId)
                return;
            running = std::move(m_thread);
        } else {
            running = std::move(m_thread);
            idleMulti = m_multi;
            m_multi = nullptr;
        }
    }
    if (running.joinable())
        running.join();
    if (idleMulti != nullptr)
        curl_multi_cleanup(idleMulti);
}

void UploadService::WakeLocked()
{
    if (m_running && !m_stopping)
        curl_multi_wakeup(m_multi);
}

bool UploadService::EnsureThreadLocked()
{
    if (m_running)
        return true;
    // A thread that ended after an idle spell gave up the lock for good
    // before it cleared m_running, so joining it cannot block on us.
    if (m_thread.joinable())
        m_thread.join();
    if (m_multi == nullptr) {
        m_multi = curl_multi_init();
        if (m_multi == nullptr)
            return false;
    }
    try {
        m_thread = std::thread(&UploadService::Run, this, m_multi);
    } catch (const std::exception&) {
        return false;
    }
    m_running = true;
    m_ioThreadId = m_thread.get_id();
    return true;
}

void UploadService::Run(CURLM* multi)
{
    JobMap jobs;
    AbortList aborts;
    auto lastBusy = Clock::now();
    for (;;) {
        Clock::time_point now = Clock::now();
        const bool idle = jobs.empty() && aborts.empty();
        if (!TakeWork(multi, jobs, aborts, idle && now - lastBusy >= kIdleLinger))
            return;
        now = Clock::now();
        for (auto& entry : jobs)
            entry.second->Pump(multi, now);
        int stillRunning = 0;
        curl_multi_perform(multi, &stillRunning);
        const bool ended = CollectDone(multi, aborts);
        Report(multi, jobs, aborts);

        // A request that just ended may open the next phase (parts after the
        // initiate, the complete after the last part), whose request starts
        // only on the next pass: waiting for an idle connection here would
        // stall the upload for the whole poll interval.
        int timeoutMs = ended ? 0 : kBusyPollMs;
        now = Clock::now();
        if (!jobs.empty() || !aborts.empty()) {
            lastBusy = now;
            for (auto& entry : jobs) {
                const Clock::time_point due = entry.second->NextDue();
                if (due != Clock::time_point::max()) {
                    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
                    timeoutMs = static_cast<int>(std::clamp<long long>(wait, 0, timeoutMs));
                }
            }
        } else {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(kIdleLinger - (now - lastBusy)).count();
            timeoutMs = static_cast<int>(std::max<long long>(1, left));
        }
        curl_multi_poll(multi, nullptr, 0, timeoutMs, nullptr);
    }
}

bool UploadService::TakeWork(CURLM* multi, JobMap& jobs, AbortList& aborts, bool idleExpired)
{
    std::vector<std::unique_ptr<UploadJob>> incoming;
    std::vector<unsigned long long> stopped;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_stopping) {
            lock.unlock();
            StopThread(multi, jobs, aborts);
            return false;
        }
        if (idleExpired && m_incoming.empty()) {
            m_stopped.clear();
            m_running = false;
            m_ioThreadId = std::thread::id();
            return false;
        }
        stopped.swap(m_stopped);
        incoming.swap(m_incoming);
    }
    for (auto& job : incoming) {
        const unsigned long long id = job->Id();
        jobs.emplace(id, std::move(job));
    }
    for (const unsigned long long id : stopped) {
        auto it = jobs.find(id);
        if (it != jobs.end()) {
            Retire(multi, *it->second, aborts);
            jobs.erase(it);
        }
    }
    return true;
}

void UploadService::Retire(CURLM* multi, UploadJob& job, AbortList& aborts)
{
    std::unique_ptr<S3Request> abort = job.Cancel(multi);
    if (abort && abort->kind == S3Request::Kind::Initiate) {
        Util::Log::Info(kTag, L"upload %llu: stopped while the storage opens it; aborting it once opened", job.Id());
        aborts.push_back(std::move(abort));
    } else if (abort && curl_multi_add_handle(multi, abort->easy) == CURLM_OK) {
        Util::Log::Info(kTag, L"upload %llu: aborting its multipart upload at the storage", job.Id());
        aborts.push_back(std::move(abort));
    }
}

void UploadService::SettleDetached(CURLM* multi, S3Request* request, CURLcode result, AbortList& aborts)
{
    std::unique_ptr<S3Request> next = UploadJob::AbortAfterInitiate(*request, result);
    aborts.erase(std::remove_if(aborts.begin(), aborts.end(),
                                [request](const std::unique_ptr<S3Request>& r) { return r.get() == request; }),
                 aborts.end());
    if (next && curl_multi_add_handle(multi, next->easy) == CURLM_OK)
        aborts.push_back(std::move(next));
}

bool UploadService::CollectDone(CURLM* multi, AbortList& aborts)
{
    bool ended = false;
    int left = 0;
    const Clock::time_point now = Clock::now();
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
        if (msg->msg != CURLMSG_DONE)
            continue;
        CURL* easy = msg->easy_handle;
        const CURLcode result = msg->data.result;
        S3Request* request = S3Request::FromHandle(easy);
        curl_multi_remove_handle(multi, easy);
        ended = true;
        if (request->job == nullptr) {
            SettleDetached(multi, request, result, aborts);
            continue;
        }
        request->job->OnDone(request, result, now);
    }
    return ended;
}

void UploadService::Report(CURLM* multi, JobMap& jobs, AbortList& aborts)
{
    const Clock::time_point now = Clock::now();
    for (auto it = jobs.begin(); it != jobs.end();) {
        UploadJob& job = *it->second;
        if (job.Ended()) {
            const int code = job.EndCode();
            if (code == kEndOk) {
                Util::Log::Info(kTag, L"upload %llu: stored", job.Id());
                if (job.reportedBytes != job.TotalBytes() || job.TotalBytes() == 0)
                    Deliver(job, kEventProgress, 0);
            } else {
                Util::Log::Warn(kTag, L"upload %llu: failed with %d: %s", job.Id(), code,
                                Wide(job.Describe()).c_str());
            }
            Deliver(job, kEventEnd, code);
            Retire(multi, job, aborts);
            it = jobs.erase(it);
            continue;
        }
        if (now - job.lastReport >= kProgressInterval && job.SentBytes() != job.reportedBytes)
            Deliver(job, kEventProgress, 0);
        ++it;
    }
}

bool UploadService::Deliver(UploadJob& job, int kind, int code)
{
    CUploadEvent* event = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_events.find(job.Id());
        if (it == m_events.end())
            return false;
        event = it->second;
        if (kind == kEventEnd)
            m_events.erase(it);
        m_deliveringId = job.Id();
        m_deliveringTo = event;
    }
    const Clock::time_point now = Clock::now();
    const unsigned long long sent = kind == kEventEnd && code == kEndOk ? job.TotalBytes() : job.SentBytes();
    job.reportedBytes = sent;
    job.lastReport = now;
    try {
        const CFileObjExt record = job.Snapshot(sent, now);
        int eventKind = kind;
        int reserved = 0;
        int eventCode = code;
        event->OnFileEvent(eventKind, reserved, eventCode, record);
    } catch (const std::exception& e) {
        Util::Log::Error(kTag, L"upload %llu: event failed: %S", job.Id(), e.what());
    } catch (...) {
        Util::Log::Error(kTag, L"upload %llu: event failed", job.Id());
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_deliveringId = 0;
        m_deliveringTo = nullptr;
    }
    m_deliveryEnded.notify_all();
    return true;
}

void UploadService::StopThread(CURLM* multi, JobMap& jobs, AbortList& aborts)
{
    for (auto& entry : jobs)
        Retire(multi, *entry.second, aborts);
    jobs.clear();
    // Multipart uploads left open would hold storage space: a short last
    // chance to abort them before the thread ends.
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (!aborts.empty() && Clock::now() < deadline) {
        int stillRunning = 0;
        curl_multi_perform(multi, &stillRunning);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg != CURLMSG_DONE)
                continue;
            CURL* easy = msg->easy_handle;
            const CURLcode result = msg->data.result;
            S3Request* request = S3Request::FromHandle(easy);
            curl_multi_remove_handle(multi, easy);
            SettleDetached(multi, request, result, aborts);
        }
        if (!aborts.empty())
            curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    for (auto& request : aborts)
        curl_multi_remove_handle(multi, request->easy);
    aborts.clear();
    curl_multi_cleanup(multi);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_multi == multi)
        m_multi = nullptr;
    m_stopped.clear();
    m_running = false;
    m_stopping = false;
    m_ioThreadId = std::thread::id();
}

}  // namespace Bucketput
