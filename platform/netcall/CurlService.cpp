#include "CurlService.h"

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

std::wstring MaskedUrl(const std::string& url)
{
    return Util::Log::MaskSecrets(Utf8ToWide(UrlForLog(url)));
}

}  // namespace

CurlService::CurlService() : m_engine(Transfer::Engine::Shared())
{
    m_engine->Attach(*this);
}

CurlService::~CurlService()
{
    Shutdown();
    m_engine->Detach(*this);
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
        std::unique_ptr<CurlTransfer> transfer = CurlTransfer::Create(info, &error);
        if (!transfer) {
            Util::Log::Warn(kTag, L"Request: refused %s: %S", MaskedUrl(WideToUtf8(info.strUrl)).c_str(),
                            error.c_str());
            return 0;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        const unsigned newId = NextIdLocked();
        transfer->SetId(newId);
        m_incoming.reserve(m_incoming.size() + 1);
        m_sinks.emplace(newId, sink);
        m_incoming.push_back(std::move(transfer));
        if (!m_engine->Wake()) {
            Util::Log::Error(kTag, L"Request: the transfer thread could not start");
            m_sinks.erase(newId);
            m_incoming.pop_back();
            return 0;
        }
        id = newId;
        return 1;
    } catch (const std::exception& e) {
        Util::Log::Error(kTag, L"Request: %S", e.what());
        return 0;
    }
}

void CurlService::RemoveSink(const unsigned& id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sinks.erase(id) != 0) {
        m_cancelled.push_back(id);
        m_engine->Wake();
    }
}

void CurlService::DetachSink(IHttpsRequestSink* sink)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    bool cancelled = false;
    for (auto it = m_sinks.begin(); it != m_sinks.end();) {
        if (it->second == sink) {
            m_cancelled.push_back(it->first);
            it = m_sinks.erase(it);
            cancelled = true;
        } else {
            ++it;
        }
    }
    if (cancelled) {
        m_engine->Wake();
    }
    // On the engine's thread no other delivery can be running, and waiting
    // for the one that destroys this sink would never end.
    if (!m_engine->OnEngineThread()) {
        m_deliveryEnded.wait(lock, [this, sink] { return m_deliveringTo != sink; });
    }
}

void CurlService::Shutdown()
{
    std::vector<std::unique_ptr<CurlTransfer>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sinks.clear();
        m_cancelled.clear();
        dropped.swap(m_incoming);
    }
    // Without the lock: the engine's thread takes it to stop us.
    m_engine->Stop(*this);
}

unsigned CurlService::NextIdLocked()
{
    do {
        ++m_lastId;
    } while (m_lastId == 0 || m_sinks.count(m_lastId) != 0);
    return m_lastId;
}

Transfer::Client::Turn CurlService::Prepare(Transfer::Loop& loop)
{
    std::vector<std::unique_ptr<CurlTransfer>> incoming;
    std::vector<std::unique_ptr<CurlTransfer>> dropped;
    std::vector<unsigned> cancelled;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        cancelled.swap(m_cancelled);
        for (auto& transfer : m_incoming) {
            // Removed before the engine picked it up.
            auto& target = m_sinks.count(transfer->Id()) != 0 ? incoming : dropped;
            target.push_back(std::move(transfer));
        }
        m_incoming.clear();
    }
    for (const unsigned id : cancelled) {
        auto it = m_active.find(id);
        if (it != m_active.end()) {
            loop.Remove(it->second->Handle());
            m_active.erase(it);
        }
    }
    for (auto& transfer : incoming) {
        const CURLMcode rc = loop.Add(transfer->Handle());
        if (rc != CURLM_OK) {
            Util::Log::Error(kTag, L"Request %u: not started: %S", transfer->Id(), curl_multi_strerror(rc));
            Deliver(*transfer, CURLE_FAILED_INIT);
            continue;
        }
        const unsigned id = transfer->Id();
        m_active.emplace(id, std::move(transfer));
    }
    Turn turn;
    turn.busy = !m_active.empty();
    return turn;
}

void CurlService::Finished(Transfer::Loop&, CURL* easy, CURLcode result)
{
    auto node = m_active.extract(CurlTransfer::FromHandle(easy)->Id());
    if (!node.empty()) {
        Deliver(*node.mapped(), result);
    }
}

bool CurlService::Stop(Transfer::Loop& loop)
{
    std::vector<std::unique_ptr<CurlTransfer>> dropped;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_active.begin(); it != m_active.end();) {
        // What was asked for after the stop goes on.
        if (m_sinks.count(it->first) != 0) {
            ++it;
            continue;
        }
        loop.Remove(it->second->Handle());
        dropped.push_back(std::move(it->second));
        it = m_active.erase(it);
    }
    return true;
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

}  // namespace Netcall
