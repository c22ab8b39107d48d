#include "CurlService.h"

#include <chrono>
#include <exception>
#include <string>

#include "CurlTransfer.h"
#include "UrlText.h"
#include "Utf8Text.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"

namespace Netcall {
namespace {

const wchar_t* const kTag = L"HttpsRequest";

// Requests often come in bursts (a screen asks for several things); keeping
// the thread a little while avoids starting one per request, and ending it
// afterwards leaves no idle thread behind.
constexpr std::chrono::milliseconds kIdleLinger(2000);
// Upper bound of one wait while transfers run; libcurl shortens it to its
// own next time-out.
constexpr int kBusyPollMs = 1000;

TransferSettings ReadSettings()
{
    TransferSettings settings;
    settings.caBundle = WideToUtf8(Http::GetCaBundle().str());
    settings.connectTimeoutMs = static_cast<long>(Http::GetConnectTimeoutMs());
    settings.totalTimeoutMs = static_cast<long>(Http::GetRequestTimeoutMs());
    return settings;
}

std::wstring MaskedUrl(const std::string& url)
{
    return Util::Log::MaskSecrets(Utf8ToWide(UrlForLog(url)));
}

}  // namespace

CurlService::CurlService() = default;

CurlService::~CurlService()
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

int CurlService::Request(unsigned& id, IHttpsRequestSink* sink, const ST_HttpsReqInfo& info)
{
    try {
        if (sink == nullptr) {
            Util::Log::Warn(kTag, L"Request: refused, no sink for %s", MaskedUrl(WideToUtf8(info.strUrl)).c_str());
            return 0;
        }
        Util::Curl::Init();
        std::string error;
        std::unique_ptr<CurlTransfer> transfer = CurlTransfer::Create(info, ReadSettings(), &error);
        if (!transfer) {
            Util::Log::Warn(kTag, L"Request: refused %s: %S", MaskedUrl(WideToUtf8(info.strUrl)).c_str(),
                            error.c_str());
            return 0;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) {
            return 0;
        }
        const unsigned newId = NextIdLocked();
        transfer->SetId(newId);
        m_incoming.reserve(m_incoming.size() + 1);
        m_sinks.emplace(newId, sink);
        m_incoming.push_back(std::move(transfer));
        if (!EnsureThreadLocked()) {
            Util::Log::Error(kTag, L"Request: the I/O thread could not start");
            m_sinks.erase(newId);
            m_incoming.pop_back();
            return 0;
        }
        id = newId;
        WakeLocked();
        return 1;
    } catch (const std::exception& e) {
        Util::Log::Error(kTag, L"Request: %S", e.what());
        return 0;
    }
}

void CurlService::RemoveSink(const unsigned& id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sinks.erase(id) != 0 && m_running) {
        m_cancelled.push_back(id);
        WakeLocked();
    }
}

void CurlService::DetachSink(IHttpsRequestSink* sink)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    bool cancelled = false;
    for (auto it = m_sinks.begin(); it != m_sinks.end();) {
        if (it->second == sink) {
            if (m_running) {
                m_cancelled.push_back(it->first);
            }
            it = m_sinks.erase(it);
            cancelled = true;
        } else {
            ++it;
        }
    }
    if (cancelled) {
        WakeLocked();
    }
    // On the I/O thread no other delivery can be running, and waiting for
    // the one that destroys this sink would never end.
    if (std::this_thread::get_id() != m_ioThreadId) {
        m_deliveryEnded.wait(lock, [this, sink] { return m_deliveringTo != sink; });
    }
}

void CurlService::Shutdown()
{
    std::thread running;
    std::vector<std::unique_ptr<CurlTransfer>> dropped;
    CURLM* idleMulti = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sinks.clear();
        m_cancelled.clear();
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

void CurlService::WakeLocked()
{
    // While stopping, the thread may already be closing the multi handle.
    if (m_running && !m_stopping) {
        curl_multi_wakeup(m_multi);
    }
}

unsigned CurlService::NextIdLocked()
{
    do {
        ++m_lastId;
    } while (m_lastId == 0 || m_sinks.count(m_lastId) != 0);
    return m_lastId;
}

bool CurlService::EnsureThreadLocked()
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
        curl_multi_setopt(m_multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    }
    try {
        m_thread = std::thread(&CurlService::Run, this, m_multi);
    } catch (const std::exception&) {
        return false;
    }
    m_running = true;
    m_ioThreadId = m_thread.get_id();
    Util::Log::Debug(kTag, L"I/O thread started");
    return true;
}

void CurlService::Run(CURLM* multi)
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

bool CurlService::TakeWork(CURLM* multi, ActiveMap& active, bool idleExpired)
{
    std::vector<std::unique_ptr<CurlTransfer>> incoming;
    std::vector<std::unique_ptr<CurlTransfer>> dropped;
    std::vector<unsigned> cancelled;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_stopping) {
            lock.unlock();
            StopThread(multi, active);
            return false;
        }
        if (idleExpired && m_incoming.empty()) {
            m_cancelled.clear();
            m_running = false;
            m_ioThreadId = std::thread::id();
            return false;
        }
        cancelled.swap(m_cancelled);
        for (auto& transfer : m_incoming) {
            // Removed before the thread picked it up.
            auto& target = m_sinks.count(transfer->Id()) != 0 ? incoming : dropped;
            target.push_back(std::move(transfer));
        }
        m_incoming.clear();
    }
    for (const unsigned id : cancelled) {
        auto it = active.find(id);
        if (it != active.end()) {
            curl_multi_remove_handle(multi, it->second->Handle());
            active.erase(it);
        }
    }
    for (auto& transfer : incoming) {
        const CURLMcode rc = curl_multi_add_handle(multi, transfer->Handle());
        if (rc != CURLM_OK) {
            Util::Log::Error(kTag, L"Request %u: not started: %S", transfer->Id(), curl_multi_strerror(rc));
            Deliver(*transfer, CURLE_FAILED_INIT);
            continue;
        }
        const unsigned id = transfer->Id();
        active.emplace(id, std::move(transfer));
    }
    return true;
}

void CurlService::FinishDone(CURLM* multi, ActiveMap& active)
{
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
        if (msg->msg != CURLMSG_DONE) {
            continue;
        }
        // The message dies with the handle's removal: read it first.
        CURL* easy = msg->easy_handle;
        const CURLcode result = msg->data.result;
        CurlTransfer* transfer = CurlTransfer::FromHandle(easy);
        curl_multi_remove_handle(multi, easy);
        auto node = active.extract(transfer->Id());
        if (!node.empty()) {
            Deliver(*node.mapped(), result);
        }
    }
}

void CurlService::Deliver(const CurlTransfer& transfer, CURLcode result)
{
    IHttpsRequestSink* sink = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_sinks.find(transfer.Id());
        if (it == m_sinks.end()) {
            return;
        }
        sink = it->second;
        m_sinks.erase(it);
        m_deliveringTo = sink;
    }
    try {
        unsigned id = transfer.Id();
        int completed = transfer.Completed(result);
        if (completed == 0) {
            Util::Log::Warn(kTag, L"Request %u to %s failed: %S", id, MaskedUrl(transfer.Url()).c_str(),
                            transfer.Describe(result).c_str());
        }
        const std::wstring response = Utf8ToWide(transfer.ResponseBytes());
        sink->OnHttpsReqResult(id, transfer.RequestText(), response, completed);
    } catch (const std::exception& e) {
        Util::Log::Error(kTag, L"Request %u: delivery failed: %S", transfer.Id(), e.what());
    } catch (...) {
        Util::Log::Error(kTag, L"Request %u: delivery failed", transfer.Id());
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_deliveringTo = nullptr;
    }
    m_deliveryEnded.notify_all();
}

void CurlService::StopThread(CURLM* multi, ActiveMap& active)
{
    for (auto& entry : active) {
        curl_multi_remove_handle(multi, entry.second->Handle());
    }
    active.clear();
    curl_multi_cleanup(multi);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_multi == multi) {
        m_multi = nullptr;
    }
    m_cancelled.clear();
    m_running = false;
    m_stopping = false;
    m_ioThreadId = std::thread::id();
}

}  // namespace Netcall
