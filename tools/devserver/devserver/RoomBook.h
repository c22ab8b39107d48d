#pragma once
// The local server's meeting rooms: made, changed and removed through the
// room routes, listed by corporation and start time. In memory, guarded by
// one lock; every member is safe to call from any thread. Start times are
// the service's "YYYY-MM-DD HH:MM:SS" text, which orders as time does.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace DevServer {

struct Room {
    std::string code;  // nine digits, unique
    uint32_t corpId = 0;
    uint32_t pcType = 0;  // the client's kind of room
    std::string title;
    std::string startTime;
    uint32_t duration = 0;  // minutes
    bool closeHostVideo = false;
    bool closeMemberVideo = false;
    bool closeMemberAudio = false;
    uint32_t creatorId = 0;
    std::string creatorNick;
    std::string url;
    bool example = false;  // shown to every corporation's arrangement
};

// One page of a room list and the number of pages of the whole list.
struct RoomPage {
    std::vector<Room> rooms;
    uint32_t totalPages = 0;
};

class RoomBook {
public:
    // Stores the room under a fresh code; the address is `urlPrefix` and
    // the code. Returns the stored room.
    Room Create(Room room, const std::string& urlPrefix);
    // The stored room after the change, or nothing when the code is unknown.
    // Only title, start time, duration and the three switches change.
    std::optional<Room> Modify(const std::string& code, const Room& change);
    bool Remove(const std::string& code);
    std::optional<Room> Find(const std::string& code) const;

    // The corporation's rooms with startTime >= from, by start time.
    RoomPage List(uint32_t corpId, const std::string& from, uint32_t page, uint32_t limit) const;
    // Rooms with from <= startTime < to, by start time (latest first when
    // newestFirst); with examples, the example rooms come first.
    RoomPage Between(uint32_t corpId, const std::string& from, const std::string& to, bool newestFirst,
                     bool withExamples, uint32_t page, uint32_t limit) const;

    // The example room shown in every arrangement, made on first use.
    Room Example(const std::string& urlPrefix);

    // "YYYY-MM-DD HH:MM:SS" of now plus the offset, in UTC.
    static std::string TimeText(long long offsetSeconds);

private:
    static RoomPage Paginate(std::vector<Room> rooms, uint32_t page, uint32_t limit);
    std::string NewCodeLocked() const;

    mutable std::mutex m_mutex;
    std::map<std::string, Room> m_rooms;
    std::optional<std::string> m_exampleCode;
};

}  // namespace DevServer
