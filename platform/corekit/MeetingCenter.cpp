#include "pelbo/corekit/MeetingCenter.h"

#include <map>
#include <mutex>
#include <utility>

namespace MeetingCenterApi {
namespace {

struct RoomState {
    CStringW roomCode;
    CStringW roomName;
    CStringW roomUrl;
    CStringW activateTime;
    int64_t hostId = 0;
    int64_t operatorId = 0;
    int roomMuted = 0;
    int roomLocked = 0;
    int canPreviewMater = 0;
    std::map<unsigned, int> chairmen;
    E_SHARE_MODE shareMode = SHARE_MODE_NONE;
    T_AUDIOVIDEO_ROLE audioVideoRole;
    T_TENCENT_LOGIN_INFO tencentLoginInfo;
};

struct Center {
    std::mutex lock;
    RoomState room;
};

Center& TheCenter()
{
    static Center center;
    return center;
}

// Every accessor runs under the one lock; values are copied in and out, so
// no caller ever holds a reference into the shared state. Only allocation
// can throw here, and it leaves the previous value in place.
template <typename Fn>
auto Locked(Fn fn) -> decltype(fn(std::declval<RoomState&>()))
{
    Center& center = TheCenter();
    std::lock_guard<std::mutex> lock(center.lock);
    return fn(center.room);
}

void SetText(CStringW RoomState::*member, const wchar_t* value)
{
    try {
        CStringW copy(value);
        Locked([&](RoomState& room) { (room.*member) = std::move(copy); });
    } catch (...) {
    }
}

CStringW GetText(CStringW RoomState::*member)
{
    try {
        return Locked([&](RoomState& room) { return room.*member; });
    } catch (...) {
        return CStringW();
    }
}

template <typename T>
void SetValue(T RoomState::*member, T value)
{
    try {
        Locked([&](RoomState& room) { room.*member = std::move(value); });
    } catch (...) {
    }
}

template <typename T>
T GetValue(T RoomState::*member)
{
    try {
        return Locked([&](RoomState& room) { return room.*member; });
    } catch (...) {
        return T();
    }
}

}  // namespace

void SetRoomCode(const wchar_t* code) { SetText(&RoomState::roomCode, code); }
CStringW GetRoomCode() { return GetText(&RoomState::roomCode); }
void SetRoomName(const wchar_t* name) { SetText(&RoomState::roomName, name); }
CStringW GetRoomName() { return GetText(&RoomState::roomName); }
void SetRoomURL(const wchar_t* url) { SetText(&RoomState::roomUrl, url); }
CStringW GetRoomURL() { return GetText(&RoomState::roomUrl); }
void SetActivateTime(const wchar_t* time) { SetText(&RoomState::activateTime, time); }
CStringW GetActivateTime() { return GetText(&RoomState::activateTime); }
void SetHostID(int64_t id) { SetValue(&RoomState::hostId, id); }
int64_t GetHostID() { return GetValue(&RoomState::hostId); }
void SetOperatorID(int64_t id) { SetValue(&RoomState::operatorId, id); }
int64_t GetOperatorID() { return GetValue(&RoomState::operatorId); }
void SetRoomMuted(int muted) { SetValue(&RoomState::roomMuted, muted); }
int GetRoomMuted() { return GetValue(&RoomState::roomMuted); }
void SetRoomLocked(int locked) { SetValue(&RoomState::roomLocked, locked); }
int GetRoomLocked() { return GetValue(&RoomState::roomLocked); }
void SetCanPreviewMater(int can) { SetValue(&RoomState::canPreviewMater, can); }
int GetCanPreviewMater() { return GetValue(&RoomState::canPreviewMater); }
void SetShareMode(E_SHARE_MODE mode) { SetValue(&RoomState::shareMode, mode); }
E_SHARE_MODE GetShareMode() { return GetValue(&RoomState::shareMode); }
void SetAudioVideoRole(T_AUDIOVIDEO_ROLE role) { SetValue(&RoomState::audioVideoRole, role); }
T_AUDIOVIDEO_ROLE GetAudioVideoRole() { return GetValue(&RoomState::audioVideoRole); }
void SetTencentLoginInfo(T_TENCENT_LOGIN_INFO info) { SetValue(&RoomState::tencentLoginInfo, std::move(info)); }
T_TENCENT_LOGIN_INFO GetTencentLoginInfo() { return GetValue(&RoomState::tencentLoginInfo); }

void SetChairmain(unsigned userId, int isChairman)
{
    try {
        Locked([&](RoomState& room) { room.chairmen[userId] = isChairman != 0 ? 1 : 0; });
    } catch (...) {
    }
}

int IsChairmain(unsigned userId)
{
    try {
        return Locked([&](RoomState& room) {
            const auto it = room.chairmen.find(userId);
            return it != room.chairmen.end() ? it->second : 0;
        });
    } catch (...) {
        return 0;
    }
}

void Clear()
{
    try {
        RoomState forgotten;
        Locked([&](RoomState& room) { std::swap(room, forgotten); });
    } catch (...) {
    }
}

}  // namespace MeetingCenterApi
