#pragma once
// The one libcurl engine every HTTP exchange of the library runs on: REST
// requests (netcall), downloads (fetcher) and uploads (bucketput).
//
// One thread drives one multi handle. A share handle gives all transfers one
// connection cache, one DNS cache and one TLS session cache, so a sign-in, a
// picture and an upload to the same host reuse each other's connections and
// sessions. The thread starts with the first work, ends after a short idle
// spell and starts again with the next; the handles, and so the caches, live
// on until a Stop finds nothing else running, or the engine goes.
//
// The facades are the engine's clients. Each keeps its queues under its own
// lock and calls Wake when it has queued work; the engine calls the clients
// back on its thread without holding its own lock, so a client may queue
// more work, wake the engine or stop another client from a callback. Lock
// order: a client's lock, then the engine's.

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "TransferExport.h"

namespace Transfer {

class Client;
class Engine;

// The engine's multi handle as a client sees it: on the engine's thread only.
class TRANSFER_API Loop {
public:
    // Starts easy as a transfer of the client being called: CURLM_OK, or
    // libcurl's refusal.
    CURLMcode Add(CURL* easy);
    // Takes a transfer out before it ends; nothing is reported for it.
    void Remove(CURL* easy);

private:
    friend class Engine;
    Loop(Engine& engine, CURLM* multi, CURLSH* share) : m_engine(engine), m_multi(multi), m_share(share) {}
    Engine& m_engine;
    CURLM* m_multi;
    CURLSH* m_share;
    Client* m_client = nullptr;
};

class TRANSFER_API Client {
public:
    // What a client needs from the next turn of the engine.
    struct Turn {
        // Work in hand (running or waiting to be retried): the thread stays.
        bool busy = false;
        // The longest the engine may wait before calling the client again.
        std::chrono::milliseconds wait{1000};
    };

    virtual ~Client();
    // Takes queued work into the loop and starts what is due.
    virtual Turn Prepare(Loop& loop) = 0;
    // A transfer of this client ended; it is out of the loop already.
    virtual void Finished(Loop& loop, CURL* easy, CURLcode result) = 0;
    // After the pass's ended transfers: what is due now (progress, results).
    virtual Turn Settle(Loop& loop);
    // Engine::Stop: drops every transfer nobody waits for any more. True when
    // nothing is left to finish; false to be asked again at the next turn
    // while the transfers it still wants (a clean-up at the server) run.
    virtual bool Stop(Loop& loop) = 0;
};

class TRANSFER_API Engine {
public:
    // The process's engine; every facade holds a reference, so it outlives
    // them whatever order their modules go in.
    static std::shared_ptr<Engine> Shared();

    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void Attach(Client& client);
    // Stops the client and forgets it, once the engine is out of its
    // callbacks. Not from the engine's thread: a client is never destroyed
    // by one of its own deliveries.
    void Detach(Client& client);
    // The client queued work. False when the thread cannot start.
    bool Wake();
    // Has the client drop its work (Client::Stop) and waits for that. When
    // nothing else is running afterwards the thread ends and the cached
    // connections close. On the engine's thread it only asks: the stop comes
    // at the next turn.
    void Stop(Client& client);
    bool OnEngineThread() const;

private:
    friend class Loop;
    struct Member {
        Client* client = nullptr;
        bool stopAsked = false;
        bool stopped = false;
        bool busy = false;
    };
    using Clock = std::chrono::steady_clock;

    Member* FindLocked(const Client& client);
    bool StartThreadLocked();
    void Run(CURLM* multi, CURLSH* share);
    // One pass: stops, takes work, drives libcurl, routes ended transfers.
    // Returns the wait before the next pass and whether anything is in hand.
    Client::Turn Pass(Loop& loop, const std::vector<Client*>& clients, const std::vector<Client*>& stopping);
    void RemoveAllOf(Loop& loop, const Client* client);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Member> m_members;
    CURLM* m_multi = nullptr;
    CURLSH* m_share = nullptr;
    std::thread m_thread;
    std::thread::id m_threadId;
    bool m_running = false;
    bool m_woken = false;
    bool m_closeAsked = false;
    bool m_ending = false;
    bool m_inPass = false;
    unsigned long long m_passes = 0;
    // Which client each running transfer belongs to; engine thread only.
    std::unordered_map<CURL*, Client*> m_owners;
};

}  // namespace Transfer
