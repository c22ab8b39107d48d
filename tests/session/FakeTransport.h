#pragma once
// A transport that records what the websocket manager hands it, so a test
// can answer each command through its sink as wirelink would.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "pelbo/compat/StringW.h"
#include "pelbo/corekit/XData.h"
#include "pelbo/session/SessionTransport.h"

class FakeTransport : public ISessionTransport {
public:
    struct Sent {
        Aux::CSCenter::CCSSinkHelper* sink = nullptr;
        XDataPtr<IXData> command;
        std::wstring name;
    };

    int Init(Aux::CSCenter::LogCallback log, const unsigned& userId, const wchar_t* guid) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++initCalls;
        initLog = log;
        initUser = userId;
        initGuid = guid != nullptr ? guid : L"";
        return 7;
    }
    int StartConn(const wchar_t* url, Aux::CSCenter::CConnectSink* sink) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++startCalls;
        startUrl = url != nullptr ? url : L"";
        startSink = sink;
        return 5;
    }
    int IsLogined() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return logined;
    }
    int ReConn() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++reconnCalls;
        m_changed.notify_all();
        return 1;
    }
    int StopConn() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++stopCalls;
        return 1;
    }
    int Send(Aux::CSCenter::CCSSinkHelper& sink, IXData* command) override
    {
        Sent sent;
        sent.sink = &sink;
        command->AddRef();
        sent.command = XDataPtr<IXData>(command);
        CStringW name;
        command->GetIXDataStr(L"CMDNO", name);
        sent.name = name.str();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sent.push_back(sent);
        m_changed.notify_all();
        return 1;
    }

    void SetLogined(int value)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        logined = value;
    }
    std::vector<Sent> SentCommands()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sent;
    }
    std::vector<std::wstring> Names()
    {
        std::vector<std::wstring> names;
        for (const Sent& s : SentCommands())
            names.push_back(s.name);
        return names;
    }
    Sent Last()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sent.empty() ? Sent() : m_sent.back();
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sent.clear();
    }
    bool WaitForSent(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return m_sent.size() >= count; });
    }
    bool WaitForReConn(int count, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return reconnCalls >= count; });
    }

    // Answers a sent command as the server would: a reply with "Result"
    // (none when result is null) and the extra values set by fill.
    template <typename Fill>
    static void Reply(const Sent& sent, const int* result, Fill&& fill)
    {
        XDataPtr<IXData> reply;
        CreateIXData(reply.Receive(), 0);
        if (result != nullptr)
            reply->SetIXDataI32(L"Result", *result);
        fill(reply.get());
        sent.sink->OnRecvReply(reply.get(), sent.command.get());
    }
    static void Reply(const Sent& sent, int result)
    {
        Reply(sent, &result, [](IXData*) {});
    }
    static void Timeout(const Sent& sent) { sent.sink->OnTimeout(sent.command.get()); }

    int initCalls = 0;
    Aux::CSCenter::LogCallback initLog = nullptr;
    unsigned initUser = 0;
    std::wstring initGuid;
    int startCalls = 0;
    std::wstring startUrl;
    Aux::CSCenter::CConnectSink* startSink = nullptr;
    int logined = 0;
    int reconnCalls = 0;
    int stopCalls = 0;

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Sent> m_sent;
};
