#include "devserver/WsHub.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <optional>
#include <vector>

#include <json/json.h>

#include "devserver/JsonHelpers.h"
#include "devserver/State.h"

namespace DevServer {
namespace {

// The typed value form of the wire: {"t":"i32","v":0}.
Json::Value Typed(const char* type, Json::Value value)
{
    Json::Value typed(Json::objectValue);
    typed["t"] = type;
    typed["v"] = std::move(value);
    return typed;
}

void PutStr(Json::Value& data, const char* key, const std::string& value)
{
    data[key] = Typed("str", value);
}
void PutI32(Json::Value& data, const char* key, int value)
{
    data[key] = Typed("i32", value);
}
void PutI64(Json::Value& data, const char* key, int64_t value)
{
    data[key] = Typed("i64", static_cast<Json::Int64>(value));
}
void PutBool(Json::Value& data, const char* key, bool value)
{
    data[key] = Typed("bool", value);
}

// A member of the command, read only when it has the expected type.
const Json::Value* Member(const Json::Value& data, const char* key, const char* type)
{
    const Json::Value& typed = data[key];
    if (!typed.isObject() || !typed["t"].isString() || typed["t"].asString() != type || !typed.isMember("v"))
        return nullptr;
    return &typed["v"];
}

std::string Str(const Json::Value& data, const char* key)
{
    const Json::Value* v = Member(data, key, "str");
    return v != nullptr && v->isString() ? v->asString() : std::string();
}

bool Bool(const Json::Value& data, const char* key)
{
    const Json::Value* v = Member(data, key, "bool");
    return v != nullptr && v->isBool() && v->asBool();
}

uint32_t U32(const Json::Value& data, const char* key)
{
    const Json::Value* v = Member(data, key, "u32");
    return v != nullptr && v->isUInt() ? v->asUInt() : 0;
}

std::string Frame(const char* type, uint64_t seq, const Json::Value& data)
{
    Json::Value frame(Json::objectValue);
    frame["seq"] = static_cast<Json::UInt64>(seq);
    frame["type"] = type;
    frame["data"] = data;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, frame);
}

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string NowText()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

void PutRoomState(Json::Value& data, const WsRoom& room)
{
    PutStr(data, "RoomName", room.name);
    PutI64(data, "HostID", room.hostId);
    PutBool(data, "Muted", room.muted);
    PutBool(data, "Locked", room.locked);
    PutBool(data, "BoardStarted", room.boardStarted);
    PutBool(data, "ScreenStarted", room.screenStarted);
    PutI64(data, "BoardOperatorID", room.boardOperatorId);
    PutI64(data, "ScreenOperatorID", room.screenOperatorId);
    PutStr(data, "ActivateTime", room.activateTime);
    PutBool(data, "CloseHostVideo", room.closeHostVideo);
    PutBool(data, "CloseMemberVideo", room.closeMemberVideo);
    PutBool(data, "CloseMemberAudio", room.closeMemberAudio);
}

}  // namespace

WsHub::WsHub(Server::State& state) : m_state(state) {}

void WsHub::Attach(const std::shared_ptr<Peer>& peer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_peers[peer.get()].peer = peer;
}

void WsHub::Detach(const Peer* peer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // The session stays known: the client may come back with "reconnect".
    m_peers.erase(peer);
}

void WsHub::OnText(Peer& peer, const std::string& text)
{
    ++m_commands;
    Answer answer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        answer = HandleLocked(peer, text);
    }
    // Peers only post onto their strands, so calling them here is cheap, but
    // never under the hub's lock all the same.
    for (const auto& other : answer.cutOff)
        other->Drop();
    if (answer.drop)
        return peer.Drop();
    if (!answer.frame.empty())
        peer.SendFrame(std::move(answer.frame), false, answer.delayMs);
}

WsHub::Answer WsHub::HandleLocked(const Peer& peer, const std::string& text)
{
    Answer answer;
    Json::Value frame;
    if (!ParseJsonObject(text, &frame) || !frame["seq"].isUInt64() || !frame["type"].isString() ||
        frame["type"].asString() != "cmd")
        return answer;  // nothing to answer to
    const uint64_t seq = frame["seq"].asUInt64();
    const Json::Value& command = frame["data"];
    Json::Value reply(Json::objectValue);
    const std::string name = command.isObject() ? Str(command, "CMDNO") : std::string();

    WsFault fault;
    if (TakeFaultLocked(name, &fault)) {
        if (fault.dropConnection) {
            answer.drop = true;
            return answer;
        }
        answer.delayMs = fault.delayMs;
    }

    PeerInfo& self = m_peers[&peer];
    if (name.empty()) {
        PutI32(reply, "Result", WsResult::BadCommand);
    } else if (name == "connect" || name == "reconnect") {
        const std::optional<uint32_t> user = m_state.UserOfToken(Str(command, "Token"));
        const bool reconnect = name == "reconnect";
        int result = WsResult::Ok;
        if (!user || (reconnect && U32(command, "UserID") != *user)) {
            result = WsResult::TokenInvalid;
        } else if (reconnect && m_knownSessions.count(*user) == 0) {
            result = WsResult::SessionUnknown;
        } else {
            // Sessions are only looked at here, not held: the last hold of
            // one may not end under the lock, as its end detaches it.
            const auto sameAccount = [&](const std::pair<const Peer* const, PeerInfo>& entry) {
                return entry.first != &peer && entry.second.loggedIn && entry.second.userId == *user &&
                       !entry.second.peer.expired();
            };
            const bool others = std::any_of(m_peers.begin(), m_peers.end(), sameAccount);
            if (others && !reconnect && !Bool(command, "Force")) {
                result = WsResult::SignedInElsewhere;
            } else {
                // The newest session wins: the older ones are cut off.
                for (auto& entry : m_peers) {
                    if (!sameAccount(entry))
                        continue;
                    entry.second.loggedIn = false;
                    if (auto other = entry.second.peer.lock())
                        answer.cutOff.push_back(std::move(other));
                }
            }
        }
        if (result == WsResult::Ok) {
            self.loggedIn = true;
            self.userId = *user;
            m_knownSessions.insert(*user);
        } else {
            self.loggedIn = false;
        }
        PutI32(reply, "Result", result);
        if (result == WsResult::TokenInvalid)
            PutStr(reply, "Msg", "token unknown or expired");
        else if (result == WsResult::SessionUnknown)
            PutStr(reply, "Msg", "no session to resume");
        else if (result == WsResult::SignedInElsewhere)
            PutStr(reply, "Msg", "signed in elsewhere");
    } else if (name == "disconnect") {
        if (self.loggedIn)
            m_knownSessions.erase(self.userId);
        self.loggedIn = false;
        self.roomCode.clear();
        PutI32(reply, "Result", WsResult::Ok);
    } else if (name == "ping") {
        PutI32(reply, "Result", self.loggedIn ? WsResult::Ok : WsResult::NotLoggedIn);
        PutI64(reply, "TimeStamp", NowMs());
    } else if (name == "room.join" || name == "room.status.get") {
        const bool join = name == "room.join";
        const std::string code = join ? Str(command, "RoomCode") : self.roomCode;
        if (!self.loggedIn) {
            PutI32(reply, "Result", WsResult::NotLoggedIn);
        } else if (code.empty()) {
            PutI32(reply, "Result", join ? WsResult::BadCommand : WsResult::NotInRoom);
        } else {
            const WsRoom* found = RoomLocked(code);
            if (found == nullptr) {
                PutI32(reply, "Result", WsResult::RoomNotFound);
                answer.frame = Frame("reply", seq, reply);
                return answer;
            }
            const WsRoom& room = *found;
            PutI32(reply, "Result", WsResult::Ok);
            PutRoomState(reply, room);
            if (join) {
                self.roomCode = code;
                PutStr(reply, "RoomURL", room.url);
                PutStr(reply, "UserID", std::to_string(self.userId));
                PutStr(reply, "UserSig", "sig-" + std::to_string(self.userId) + "-" + code);
                PutStr(reply, "SdkAppID", "1400000001");
                PutStr(reply, "AccountType", "36862");
                PutStr(reply, "RoomID", code);
                PutBool(reply, "IsChairman", room.hostId == static_cast<int64_t>(self.userId));
                PutBool(reply, "OpenBoardPreview", room.openBoardPreview);
            }
        }
    } else {
        PutI32(reply, "Result", WsResult::UnknownCommand);
    }
    answer.frame = Frame("reply", seq, reply);
    return answer;
}

bool WsHub::TakeFaultLocked(const std::string& command, WsFault* fault)
{
    auto it = m_faults.find(command);
    if (it == m_faults.end())
        it = m_faults.find(std::string());
    if (it == m_faults.end())
        return false;
    *fault = it->second;
    if (it->second.remaining > 0 && --it->second.remaining == 0)
        m_faults.erase(it);
    return true;
}

const WsRoom* WsHub::RoomLocked(const std::string& code)
{
    auto it = m_rooms.find(code);
    if (m_pinnedRooms.count(code) != 0)
        return &it->second;
    const std::optional<Room> booked = m_state.rooms.Find(code);
    if (!booked) {
        // Deleted through the room routes, or never booked.
        if (it != m_rooms.end())
            m_rooms.erase(it);
        return nullptr;
    }
    if (it == m_rooms.end()) {
        // The room goes live with its first join.
        WsRoom room;
        room.activateTime = NowText();
        it = m_rooms.emplace(code, room).first;
    }
    // The booking's settings change through the room routes; read them anew.
    WsRoom& room = it->second;
    room.name = booked->title;
    room.url = booked->url;
    room.hostId = booked->creatorId;
    room.closeHostVideo = booked->closeHostVideo;
    room.closeMemberVideo = booked->closeMemberVideo;
    room.closeMemberAudio = booked->closeMemberAudio;
    return &room;
}

void WsHub::SetRefuseConnections(bool refuse)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_refuse = refuse;
}

bool WsHub::RefuseConnections() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_refuse;
}

void WsHub::SetFault(const WsFault& fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (fault.remaining == 0)
        m_faults.erase(fault.command);
    else
        m_faults[fault.command] = fault;
}

void WsHub::ClearFaults()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
    m_refuse = false;
}

void WsHub::ForgetSessions()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_knownSessions.clear();
}

uint64_t WsHub::Push(const std::string& event, PushSeq mode)
{
    std::vector<std::shared_ptr<Peer>> targets;
    std::string frame;
    uint64_t seq = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& entry : m_peers) {
            if (entry.second.loggedIn)
                if (auto peer = entry.second.peer.lock())
                    targets.push_back(peer);
        }
        if (targets.empty())
            return 0;
        switch (mode) {
        case PushSeq::Next:
            ++m_msgSeq;
            break;
        case PushSeq::Skip:
            m_msgSeq += 2;
            break;
        case PushSeq::Repeat:
            if (m_msgSeq == 0)
                m_msgSeq = 1;
            break;
        }
        seq = m_msgSeq;
        Json::Value data(Json::objectValue);
        PutStr(data, "CMDNO", event);
        frame = Frame("push", seq, data);
    }
    for (auto& peer : targets)
        peer->SendFrame(frame, false, 0);
    return seq;
}

unsigned WsHub::SendRaw(const std::string& payload, bool binary)
{
    std::vector<std::shared_ptr<Peer>> targets;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& entry : m_peers)
            if (auto peer = entry.second.peer.lock())
                targets.push_back(peer);
    }
    for (auto& peer : targets)
        peer->SendFrame(payload, binary, 0);
    return static_cast<unsigned>(targets.size());
}

unsigned WsHub::DropAll()
{
    std::vector<std::shared_ptr<Peer>> targets;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& entry : m_peers)
            if (auto peer = entry.second.peer.lock())
                targets.push_back(peer);
    }
    for (auto& peer : targets)
        peer->Drop();
    return static_cast<unsigned>(targets.size());
}

void WsHub::PutRoom(const std::string& roomCode, const WsRoom& room)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rooms[roomCode] = room;
    m_pinnedRooms.insert(roomCode);
}

unsigned WsHub::LoggedInCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    unsigned count = 0;
    for (const auto& entry : m_peers)
        count += entry.second.loggedIn ? 1 : 0;
    return count;
}

}  // namespace DevServer
