#include "Engine.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "pelbo/compat/ProcessEnd.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"

namespace Transfer {
namespace {

const wchar_t* const kTag = L"Transfer";

// Requests come in bursts (a screen asks for several things); keeping the
// thread a little while avoids starting one per request, and ending it
// afterwards leaves no idle thread behind.
constexpr std::chrono::milliseconds kIdleLinger(2000);

Client::Turn Merge(Client::Turn a, const Client::Turn& b)
{
    a.busy = a.busy || b.busy;
    a.wait = std::min(a.wait, b.wait);
    return a;
}

}  // namespace

Client::~Client() = default;

Client::Turn Client::Settle(Loop&)
{
    return Turn{};
}

CURLMcode Loop::Add(CURL* easy)
{
    try {
        m_engine.m_owners[easy] = m_client;
    } catch (const std::exception&) {
        return CURLM_OUT_OF_MEMORY;
    }
    curl_easy_setopt(easy, CURLOPT_SHARE, m_share);
    const CURLMcode rc = curl_multi_add_handle(m_multi, easy);
    if (rc != CURLM_OK) {
        curl_easy_setopt(easy, CURLOPT_SHARE, static_cast<CURLSH*>(nullptr));
        m_engine.m_owners.erase(easy);
    }
    return rc;
}

void Loop::Remove(CURL* easy)
{
    if (m_engine.m_owners.erase(easy) == 0) {
        return;
    }
    curl_multi_remove_handle(m_multi, easy);
    // A handle that leaves may be freed anywhere; the share stays the
    // engine thread's alone.
    curl_easy_setopt(easy, CURLOPT_SHARE, static_cast<CURLSH*>(nullptr));
}

std::shared_ptr<Engine> Engine::Shared()
{
    static Compat::ProcessWide<std::shared_ptr<Engine>> shared(new std::shared_ptr<Engine>(std::make_shared<Engine>()));
    return *shared;
}

Engine::Engine() = default;

Engine::~Engine()
{
    std::thread running;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ending = true;
        if (m_running) {
            curl_multi_wakeup(m_multi);
        }
        running = std::move(m_thread);
    }
    if (running.joinable()) {
        running.join();
    }
    // The thread had ended idle, leaving the handles to us.
    if (m_multi != nullptr) {
        curl_multi_cleanup(m_multi);
    }
    if (m_share != nullptr) {
        curl_share_cleanup(m_share);
    }
}

void Engine::Attach(Client& client)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (FindLocked(client) == nullptr) {
        Member member;
        member.client = &client;
        m_members.push_back(member);
    }
}

void Engine::Detach(Client& client)
{
    Stop(client);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_members.erase(std::remove_if(m_members.begin(), m_members.end(),
                                   [&client](const Member& member) { return member.client == &client; }),
                    m_members.end());
    // A pass that began before the erase may still call the client.
    const unsigned long long pass = m_passes;
    m_changed.wait(lock, [this, pass] { return !m_inPass || m_passes != pass; });
}

bool Engine::Wake()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_ending) {
        return false;
    }
    m_woken = true;
    if (m_running) {
        // Work queued from a callback is taken at the next pass, which
        // follows without waiting: no wake-up through the socket needed.
        if (std::this_thread::get_id() != m_threadId) {
            curl_multi_wakeup(m_multi);
        }
        return true;
    }
    return StartThreadLocked();
}

void Engine::Stop(Client& client)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    Member* member = FindLocked(client);
    if (member == nullptr) {
        return;
    }
    if (m_running && std::this_thread::get_id() == m_threadId) {
        member->stopAsked = true;
        member->stopped = false;
        m_woken = true;
        return;
    }
    if (m_running) {
        member->stopAsked = true;
        member->stopped = false;
        curl_multi_wakeup(m_multi);
        m_changed.wait(lock, [this, &client] {
            const Member* asked = FindLocked(client);
            return asked == nullptr || asked->stopped || !m_running;
        });
        member = FindLocked(client);
        if (member != nullptr) {
            member->stopAsked = false;
            member->stopped = false;
        }
    }
    if (m_running) {
        m_closeAsked = true;
        curl_multi_wakeup(m_multi);
        m_changed.wait(lock, [this] { return !m_closeAsked || !m_running; });
    }
    if (m_running) {
        return;
    }
    // Nothing runs: the cached connections close now rather than when the
    // process ends.
    std::thread ended = std::move(m_thread);
    CURLM* multi = std::exchange(m_multi, nullptr);
    CURLSH* share = std::exchange(m_share, nullptr);
    lock.unlock();
    if (ended.joinable()) {
        ended.join();
    }
    if (multi != nullptr) {
        curl_multi_cleanup(multi);
    }
    if (share != nullptr) {
        curl_share_cleanup(share);
    }
}

bool Engine::OnEngineThread() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running && std::this_thread::get_id() == m_threadId;
}

Engine::Member* Engine::FindLocked(const Client& client)
{
    for (Member& member : m_members) {
        if (member.client == &client) {
            return &member;
        }
    }
    return nullptr;
}

bool Engine::StartThreadLocked()
{
    // A thread that ended gave up the lock for good before it cleared
    // m_running, so joining it here cannot wait for us.
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_multi == nullptr) {
        Util::Curl::Init();
        CURLM* multi = curl_multi_init();
        CURLSH* share = curl_share_init();
        // One thread uses the share, so it needs no lock functions.
        const bool shared = share != nullptr &&
                            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) == CURLSHE_OK &&
                            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK &&
                            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
        if (multi == nullptr || !shared) {
            Util::Log::Error(kTag, L"libcurl refused the engine's handles");
            if (multi != nullptr) {
                curl_multi_cleanup(multi);
            }
            if (share != nullptr) {
                curl_share_cleanup(share);
            }
            return false;
        }
        m_multi = multi;
        m_share = share;
    }
    try {
        m_thread = std::thread(&Engine::Run, this, m_multi, m_share);
    } catch (const std::exception& e) {
        Util::Log::Error(kTag, L"the transfer thread could not start: %S", e.what());
        return false;
    }
    m_running = true;
    m_threadId = m_thread.get_id();
    Util::Log::Debug(kTag, L"transfer thread started");
    return true;
}

void Engine::Run(CURLM* multi, CURLSH* share)
{
    Loop loop(*this, multi, share);
    auto lastBusy = Clock::now();
    for (;;) {
        std::vector<Client*> clients;
        std::vector<Client*> stopping;
        bool close = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            bool busy = std::exchange(m_woken, false) || !m_owners.empty();
            for (const Member& member : m_members) {
                busy = busy || member.busy || (member.stopAsked && !member.stopped);
            }
            const auto now = Clock::now();
            if (busy) {
                lastBusy = now;
            }
            if (m_ending || (m_closeAsked && !busy)) {
                close = true;
            } else if (!busy && now - lastBusy >= kIdleLinger) {
                m_running = false;
                m_threadId = std::thread::id();
                return;
            } else {
                m_closeAsked = false;
                m_inPass = true;
                ++m_passes;
                for (const Member& member : m_members) {
                    clients.push_back(member.client);
                    if (member.stopAsked && !member.stopped) {
                        stopping.push_back(member.client);
                    }
                }
            }
            if (close) {
                m_closeAsked = false;
                m_running = false;
                m_threadId = std::thread::id();
                if (m_multi == multi) {
                    m_multi = nullptr;
                    m_share = nullptr;
                }
            }
        }
        if (close) {
            RemoveAllOf(loop, nullptr);
            curl_multi_cleanup(multi);
            curl_share_cleanup(share);
            Util::Log::Debug(kTag, L"transfer thread ended, connections closed");
            m_changed.notify_all();
            return;
        }
        m_changed.notify_all();
        const Client::Turn turn = Pass(loop, clients, stopping);
        long long waitMs = turn.wait.count();
        if (!turn.busy && m_owners.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(kIdleLinger - (Clock::now() - lastBusy));
            waitMs = std::min(waitMs, static_cast<long long>(left.count()));
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_inPass = false;
            if (m_woken) {
                waitMs = 0;
            }
        }
        m_changed.notify_all();
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::max(0LL, waitMs)), nullptr);
    }
}

Client::Turn Engine::Pass(Loop& loop, const std::vector<Client*>& clients, const std::vector<Client*>& stopping)
{
    for (Client* client : stopping) {
        loop.m_client = client;
        if (!client->Stop(loop)) {
            continue;
        }
        RemoveAllOf(loop, client);
        std::lock_guard<std::mutex> lock(m_mutex);
        Member* member = FindLocked(*client);
        if (member != nullptr) {
            member->stopped = true;
            member->busy = false;
        }
    }
    auto isStopping = [&stopping](const Client* client) {
        return std::find(stopping.begin(), stopping.end(), client) != stopping.end();
    };
    std::vector<Client::Turn> turns(clients.size());
    for (size_t i = 0; i < clients.size(); ++i) {
        if (!isStopping(clients[i])) {
            loop.m_client = clients[i];
            turns[i] = clients[i]->Prepare(loop);
        }
    }
    int running = 0;
    curl_multi_perform(loop.m_multi, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(loop.m_multi, &left)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        // The message dies with the handle's removal: read it first.
        CURL* easy = message->easy_handle;
        const CURLcode result = message->data.result;
        const auto owner = m_owners.find(easy);
        Client* client = owner == m_owners.end() ? nullptr : owner->second;
        loop.Remove(easy);
        if (client != nullptr) {
            loop.m_client = client;
            client->Finished(loop, easy, result);
        }
    }
    Client::Turn all;
    for (size_t i = 0; i < clients.size(); ++i) {
        if (!isStopping(clients[i])) {
            loop.m_client = clients[i];
            turns[i] = Merge(turns[i], clients[i]->Settle(loop));
        }
        all = Merge(all, turns[i]);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t i = 0; i < clients.size(); ++i) {
        Member* member = FindLocked(*clients[i]);
        if (member != nullptr && !isStopping(clients[i])) {
            member->busy = turns[i].busy;
        }
    }
    return all;
}

void Engine::RemoveAllOf(Loop& loop, const Client* client)
{
    std::vector<CURL*> leaving;
    for (const auto& owned : m_owners) {
        if (client == nullptr || owned.second == client) {
            leaving.push_back(owned.first);
        }
    }
    for (CURL* easy : leaving) {
        loop.Remove(easy);
    }
}

}  // namespace Transfer
