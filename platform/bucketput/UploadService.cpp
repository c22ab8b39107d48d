#include "UploadService.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <utility>

#include "S3Text.h"
#include "UploadJob.h"
#include "Utf8Text.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"

namespace Bucketput {
namespace {

using namespace Util::OssUpload;

const wchar_t* const kTag = L"OssUpload";
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

UploadService::UploadService() : m_engine(Transfer::Engine::Shared())
{
    m_engine->Attach(*this);
}

UploadService::~UploadService()
{
    Shutdown();
    m_engine->Detach(*this);
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
        if (!m_engine->Wake()) {
            Util::Log::Error(kTag, L"Start: the transfer thread could not start");
            m_events.erase(newId);
            m_incoming.pop_back();
            return kRefusedUnavailable;
        }
        id = newId;
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
    m_engine->Wake();
    Util::Log::Info(kTag, L"Stop: upload %llu", id);
    if (!m_engine->OnEngineThread())
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
    m_engine->Wake();
    if (!m_engine->OnEngineThread())
        m_deliveryEnded.wait(lock, [this, event] { return m_deliveringTo != event; });
}

void UploadService::Shutdown()
{
    std::vector<std::unique_ptr<UploadJob>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.clear();
        dropped.swap(m_incoming);
    }
    // Without the lock: the engine's thread takes it to stop us.
    m_engine->Stop(*this);
}

Transfer::Client::Turn UploadService::Prepare(Transfer::Loop& loop)
{
    std::vector<std::unique_ptr<UploadJob>> incoming;
    std::vector<unsigned long long> stopped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        stopped.swap(m_stopped);
        incoming.swap(m_incoming);
    }
    for (auto& job : incoming) {
        const unsigned long long id = job->Id();
        m_jobs.emplace(id, std::move(job));
    }
    for (const unsigned long long id : stopped) {
        auto it = m_jobs.find(id);
        if (it != m_jobs.end()) {
            Retire(loop, *it->second);
            m_jobs.erase(it);
        }
    }
    const Clock::time_point now = Clock::now();
    for (auto& entry : m_jobs)
        entry.second->Pump(loop, now);
    Turn turn;
    turn.busy = !m_jobs.empty() || !m_aborts.empty();
    return turn;
}

void UploadService::Finished(Transfer::Loop& loop, CURL* easy, CURLcode result)
{
    S3Request* request = S3Request::FromHandle(easy);
    m_requestEnded = true;
    if (request->job == nullptr) {
        SettleDetached(loop, request, result);
        return;
    }
    request->job->OnDone(request, result, Clock::now());
}

Transfer::Client::Turn UploadService::Settle(Transfer::Loop& loop)
{
    const Clock::time_point now = Clock::now();
    for (auto it = m_jobs.begin(); it != m_jobs.end();) {
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
            Retire(loop, job);
            it = m_jobs.erase(it);
            continue;
        }
        if (now - job.lastReport >= kProgressInterval && job.SentBytes() != job.reportedBytes)
            Deliver(job, kEventProgress, 0);
        ++it;
    }

    Turn turn;
    turn.busy = !m_jobs.empty() || !m_aborts.empty();
    if (!turn.busy)
        return turn;
    // A request that just ended may open the next phase (parts after the
    // initiate, the complete after the last part), whose request starts
    // only on the next turn: waiting for an idle connection here would stall
    // the upload for the whole poll interval.
    auto waitMs = std::chrono::milliseconds(std::exchange(m_requestEnded, false) ? 0 : kBusyPollMs);
    for (auto& entry : m_jobs) {
        const Clock::time_point due = entry.second->NextDue();
        if (due != Clock::time_point::max())
            waitMs = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(due - now),
                                std::chrono::milliseconds(0), waitMs);
    }
    turn.wait = waitMs;
    return turn;
}

bool UploadService::Stop(Transfer::Loop& loop)
{
    std::vector<unsigned long long> forgotten;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& entry : m_jobs) {
            // What was started after the stop was asked for goes on.
            if (m_events.count(entry.first) == 0)
                forgotten.push_back(entry.first);
        }
    }
    for (const unsigned long long id : forgotten) {
        auto it = m_jobs.find(id);
        Retire(loop, *it->second);
        m_jobs.erase(it);
    }
    const Clock::time_point now = Clock::now();
    if (!m_stopRunning) {
        m_stopRunning = true;
        m_abortDeadline = now + std::chrono::seconds(3);
    }
    if (!m_aborts.empty() && now < m_abortDeadline)
        return false;
    for (auto& request : m_aborts)
        loop.Remove(request->easy);
    m_aborts.clear();
    m_stopRunning = false;
    return true;
}

void UploadService::Retire(Transfer::Loop& loop, UploadJob& job)
{
    std::unique_ptr<S3Request> abort = job.Cancel(loop);
    if (abort && abort->kind == S3Request::Kind::Initiate) {
        Util::Log::Info(kTag, L"upload %llu: stopped while the storage opens it; aborting it once opened", job.Id());
        m_aborts.push_back(std::move(abort));
    } else if (abort && loop.Add(abort->easy) == CURLM_OK) {
        Util::Log::Info(kTag, L"upload %llu: aborting its multipart upload at the storage", job.Id());
        m_aborts.push_back(std::move(abort));
    }
}

void UploadService::SettleDetached(Transfer::Loop& loop, S3Request* request, CURLcode result)
{
    std::unique_ptr<S3Request> next = UploadJob::AbortAfterInitiate(*request, result);
    m_aborts.erase(std::remove_if(m_aborts.begin(), m_aborts.end(),
                                  [request](const std::unique_ptr<S3Request>& r) { return r.get() == request; }),
                   m_aborts.end());
    if (next && loop.Add(next->easy) == CURLM_OK)
        m_aborts.push_back(std::move(next));
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

}  // namespace Bucketput
