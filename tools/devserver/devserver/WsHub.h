#pragma once
// The websocket command session of the local server ("/ws" on the HTTP and
// HTTPS port), without the socket work: log-in with "connect" and
// "reconnect", "disconnect", "ping", "room.join", "room.status.get", pushes
// with a message sequence, and fault switches. The Beast side (WsSession.cpp)
// feeds it text frames and gives it a Peer to answer through. Every member is
// safe to call from any thread; reached as Server::GetState().ws.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "devserver/DevServer.h"

namespace DevServer {

namespace WsResult {
constexpr int Ok = 0;
constexpr int BadCommand = 400;          // not a command frame of the expected form
constexpr int TokenInvalid = 1002;
constexpr int SignedInElsewhere = 1004;  // "connect" without "Force" while another session holds the account
constexpr int SessionUnknown = 1005;     // "reconnect" for a session the server does not know
constexpr int UnknownCommand = 1100;
constexpr int NotLoggedIn = 1101;
constexpr int NotInRoom = 1102;          // "room.status.get" before a "room.join"
constexpr int RoomNotFound = 2001;       // no room with the code, as on the room routes
}  // namespace WsResult

// What the next matching commands meet instead of a plain answer.
struct WsFault {
    std::string command;          // "CMDNO" it applies to; empty: any command
    bool dropConnection = false;  // the connection is cut instead of answering
    unsigned delayMs = 0;         // the reply goes out this late
    int remaining = -1;           // how many commands it applies to; -1: all
};

// How the next push numbers its message sequence.
enum class PushSeq { Next, Skip, Repeat };

// The room state the commands answer with.
struct WsRoom {
    std::string name;
    std::string url;
    int64_t hostId = 0;
    bool muted = false;
    bool locked = false;
    bool boardStarted = false;
    bool screenStarted = false;
    int64_t boardOperatorId = 0;
    int64_t screenOperatorId = 0;
    std::string activateTime;
    bool closeHostVideo = false;
    bool closeMemberVideo = false;
    bool closeMemberAudio = false;
    bool openBoardPreview = true;
};

class WsHub {
public:
    // One websocket connection as the hub sees it. Every member may be called
    // from any thread; the work happens on the connection's own strand.
    class Peer {
    public:
        virtual ~Peer() = default;
        virtual void SendFrame(std::string payload, bool binary, unsigned delayMs) = 0;
        // Cuts the connection without a close frame, as a failing network would.
        virtual void Drop() = 0;
    };

    explicit WsHub(Server::State& state);
    WsHub(const WsHub&) = delete;
    WsHub& operator=(const WsHub&) = delete;

    void Attach(const std::shared_ptr<Peer>& peer);
    void Detach(const Peer* peer);
    // A text frame from peer: answered (or not, under a fault) through it.
    void OnText(Peer& peer, const std::string& text);

    // Upgrades to "/ws" are answered 503 while set.
    void SetRefuseConnections(bool refuse);
    bool RefuseConnections() const;
    void SetFault(const WsFault& fault);
    void ClearFaults();
    // Forgets every session, so each "reconnect" meets 1005.
    void ForgetSessions();

    // Sends a push to every logged-in connection; returns the sequence it
    // carried, 0 when nobody was logged in.
    uint64_t Push(const std::string& event, PushSeq mode = PushSeq::Next);
    // Sends payload as is to every connection (tests of bad frames).
    unsigned SendRaw(const std::string& payload, bool binary);
    // Cuts every connection.
    unsigned DropAll();

    // Fixes a room's whole state, ahead of the room routes' booking of the
    // same code. Without it a room is the booking made through the room
    // routes (title, address, creator as host, the three switches), with
    // its live state (muted, locked, sharing) kept here from its first join.
    void PutRoom(const std::string& roomCode, const WsRoom& room);

    unsigned LoggedInCount() const;
    uint64_t CommandCount() const { return m_commands.load(); }

private:
    struct PeerInfo {
        std::weak_ptr<Peer> peer;
        uint32_t userId = 0;
        bool loggedIn = false;
        std::string roomCode;
    };
    struct Answer {
        bool drop = false;
        unsigned delayMs = 0;
        std::string frame;  // empty: nothing to send
        std::vector<std::shared_ptr<Peer>> cutOff;  // older sessions of the same account
    };

    Answer HandleLocked(const Peer& peer, const std::string& text);
    bool TakeFaultLocked(const std::string& command, WsFault* fault);
    // Null when neither PutRoom nor the room routes know the code.
    const WsRoom* RoomLocked(const std::string& code);

    Server::State& m_state;
    std::atomic<uint64_t> m_commands{0};
    mutable std::mutex m_mutex;
    bool m_refuse = false;
    std::map<const Peer*, PeerInfo> m_peers;
    std::set<uint32_t> m_knownSessions;
    std::map<std::string, WsRoom> m_rooms;
    std::set<std::string> m_pinnedRooms;
    std::map<std::string, WsFault> m_faults;
    uint64_t m_msgSeq = 0;
};

}  // namespace DevServer
