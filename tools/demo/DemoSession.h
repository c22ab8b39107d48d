#pragma once
// What the session and network-monitor families share: the session's
// signals, opening the session and saying goodbye.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "DemoContext.h"

namespace Demo {

// The session signals, kept until a step reads them.
class SessionSignals {
public:
    SessionSignals()
        : m_connect(ServiceEvent::ConnectResult().connect([this](int code) { Note([&] { connectCodes.push_back(code); }); })),
          m_disconnect(ServiceEvent::DisConnect().connect([this] { Note([&] { ++disconnects; }); })),
          m_enter(ServiceEvent::EnterMeeting().connect([this](int code, const wchar_t*, IXData* reply) {
              Note([&] {
                  enterCodes.push_back(code);
                  CStringW name;
                  if (reply != nullptr && reply->GetIXDataStr(L"JoinUserName", name))
                      joinUserName = ToUtf8(name);
              });
          })),
          m_status(ServiceEvent::RoomStatusGet().connect(
              [this](int code, IXData*) { Note([&] { statusCodes.push_back(code); }); }))
    {
    }

    // Waits until done() holds (read under the lock); false after seconds.
    bool Wait(int seconds, const std::function<bool()>& done)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(seconds), done);
    }
    template <typename T>
    T Read(const std::function<T()>& read)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return read();
    }

    std::vector<int> connectCodes;
    int disconnects = 0;
    std::vector<int> enterCodes;
    std::string joinUserName;
    std::vector<int> statusCodes;

private:
    void Note(const std::function<void()>& change)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        change();
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    event::scoped_connection m_connect;
    event::scoped_connection m_disconnect;
    event::scoped_connection m_enter;
    event::scoped_connection m_status;
};

const char* ConnectMeaning(int code);

// Signs the token's user in (EnsureSignedIn), opens the session at the local
// server's (or the configured) address and waits for ConnectResult 0.
bool StepOpenSession(Context& context, SessionSignals& signals);
// Sends "disconnect", waits for DisConnect and ends the websocket manager.
bool StepDisconnect(Context& context, SessionSignals& signals);

}  // namespace Demo
