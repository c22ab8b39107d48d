#pragma once
// Collects the session signals (ConnectResult, DisConnect, EnterMeeting,
// RoomStatusGet) from whatever thread emits them.

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/XData.h"

class SessionRecorder {
public:
    struct Room {
        int code = 0;
        std::wstring roomCode;
        bool hasRecord = false;
        std::wstring joinUserName;
        std::wstring roomName;
    };

    SessionRecorder()
        : m_connect(ServiceEvent::ConnectResult().connect([this](int code) {
              Add([&] { connectResults.push_back(code); });
          })),
          m_disconnect(ServiceEvent::DisConnect().connect([this] { Add([&] { ++disconnects; }); })),
          m_enter(ServiceEvent::EnterMeeting().connect([this](int code, const wchar_t* roomCode, IXData* reply) {
              Room room = Read(code, reply);
              room.roomCode = roomCode != nullptr ? roomCode : L"";
              Add([&] { entered.push_back(room); });
          })),
          m_status(ServiceEvent::RoomStatusGet().connect([this](int code, IXData* reply) {
              const Room room = Read(code, reply);
              Add([&] { statuses.push_back(room); });
          }))
    {
    }

    std::vector<int> ConnectResults()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return connectResults;
    }
    int Disconnects()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return disconnects;
    }
    std::vector<Room> Entered()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return entered;
    }
    std::vector<Room> Statuses()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return statuses;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        connectResults.clear();
        disconnects = 0;
        entered.clear();
        statuses.clear();
    }
    // Waits until done() holds, reading the recorder's members under its lock.
    template <typename Done>
    bool WaitUntil(Done&& done, std::chrono::seconds limit = std::chrono::seconds(20))
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return done(*this); });
    }

    std::vector<int> connectResults;
    int disconnects = 0;
    std::vector<Room> entered;
    std::vector<Room> statuses;

private:
    static Room Read(int code, IXData* reply)
    {
        Room room;
        room.code = code;
        room.hasRecord = reply != nullptr;
        if (reply != nullptr) {
            CStringW text;
            if (reply->GetIXDataStr(L"JoinUserName", text))
                room.joinUserName = text.str();
            if (reply->GetIXDataStr(L"RoomName", text))
                room.roomName = text.str();
        }
        return room;
    }
    template <typename F>
    void Add(F&& change)
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
