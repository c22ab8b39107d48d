#include "devserver/RoomBook.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <random>

namespace DevServer {

Room RoomBook::Create(Room room, const std::string& urlPrefix)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    room.code = NewCodeLocked();
    room.url = urlPrefix + room.code;
    m_rooms[room.code] = room;
    return room;
}

std::optional<Room> RoomBook::Modify(const std::string& code, const Room& change)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_rooms.find(code);
    if (it == m_rooms.end())
        return std::nullopt;
    Room& room = it->second;
    room.title = change.title;
    room.startTime = change.startTime;
    room.duration = change.duration;
    room.closeHostVideo = change.closeHostVideo;
    room.closeMemberVideo = change.closeMemberVideo;
    room.closeMemberAudio = change.closeMemberAudio;
    return room;
}

bool RoomBook::Remove(const std::string& code)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_exampleCode == code)
        m_exampleCode.reset();
    return m_rooms.erase(code) != 0;
}

std::optional<Room> RoomBook::Find(const std::string& code) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_rooms.find(code);
    if (it == m_rooms.end())
        return std::nullopt;
    return it->second;
}

RoomPage RoomBook::List(uint32_t corpId, const std::string& from, uint32_t page, uint32_t limit) const
{
    std::vector<Room> rooms;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_rooms) {
            const Room& room = entry.second;
            if (!room.example && room.corpId == corpId && room.startTime >= from)
                rooms.push_back(room);
        }
    }
    std::stable_sort(rooms.begin(), rooms.end(),
                     [](const Room& a, const Room& b) { return a.startTime < b.startTime; });
    return Paginate(std::move(rooms), page, limit);
}

RoomPage RoomBook::Between(uint32_t corpId, const std::string& from, const std::string& to, bool newestFirst,
                           bool withExamples, uint32_t page, uint32_t limit) const
{
    std::vector<Room> rooms;
    std::vector<Room> examples;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_rooms) {
            const Room& room = entry.second;
            if (room.example) {
                if (withExamples)
                    examples.push_back(room);
            } else if (room.corpId == corpId && room.startTime >= from && room.startTime < to) {
                rooms.push_back(room);
            }
        }
    }
    std::stable_sort(rooms.begin(), rooms.end(), [newestFirst](const Room& a, const Room& b) {
        return newestFirst ? a.startTime > b.startTime : a.startTime < b.startTime;
    });
    examples.insert(examples.end(), rooms.begin(), rooms.end());
    return Paginate(std::move(examples), page, limit);
}

Room RoomBook::Example(const std::string& urlPrefix)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_exampleCode) {
        const auto it = m_rooms.find(*m_exampleCode);
        if (it != m_rooms.end())
            return it->second;
    }
    Room room;
    room.code = NewCodeLocked();
    room.title = "Example meeting";
    room.startTime = TimeText(3600);
    room.duration = 30;
    room.creatorNick = "Pelbo";
    room.url = urlPrefix + room.code;
    room.example = true;
    m_rooms[room.code] = room;
    m_exampleCode = room.code;
    return room;
}

std::string RoomBook::TimeText(long long offsetSeconds)
{
    const std::time_t when =
        std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) + static_cast<std::time_t>(offsetSeconds);
    std::tm parts{};
    gmtime_r(&when, &parts);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

RoomPage RoomBook::Paginate(std::vector<Room> rooms, uint32_t page, uint32_t limit)
{
    RoomPage result;
    const size_t total = rooms.size();
    result.totalPages = static_cast<uint32_t>((total + limit - 1) / limit);
    const size_t first = static_cast<size_t>(page - 1) * limit;
    for (size_t i = first; i < total && i < first + limit; ++i)
        result.rooms.push_back(std::move(rooms[i]));
    return result;
}

std::string RoomBook::NewCodeLocked() const
{
    static thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<uint32_t> digits(100000000u, 999999999u);
    for (;;) {
        const std::string code = std::to_string(digits(generator));
        if (m_rooms.count(code) == 0)
            return code;
    }
}

}  // namespace DevServer
