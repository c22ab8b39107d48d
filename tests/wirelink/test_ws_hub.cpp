// The local server's websocket command session without sockets: peers that
// record what the hub sends them.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "devserver/DevServer.h"
#include "devserver/JsonHelpers.h"
#include "devserver/State.h"

namespace {

using DevServer::WsHub;
namespace WsResult = DevServer::WsResult;

class FakePeer : public WsHub::Peer {
public:
    struct Sent {
        std::string payload;
        bool binary = false;
        unsigned delayMs = 0;
    };
    void SendFrame(std::string payload, bool binary, unsigned delayMs) override
    {
        sent.push_back({std::move(payload), binary, delayMs});
    }
    void Drop() override { ++drops; }

    // The data of the last frame sent, and its sequence and type.
    Json::Value Last(uint64_t* seq = nullptr, std::string* type = nullptr) const
    {
        Json::Value frame;
        if (sent.empty() || !DevServer::ParseJsonObject(sent.back().payload, &frame))
            return Json::Value();
        if (seq != nullptr)
            *seq = frame["seq"].asUInt64();
        if (type != nullptr)
            *type = frame["type"].asString();
        return frame["data"];
    }
    int LastResult() const
    {
        const Json::Value data = Last();
        return data["Result"]["t"] == "i32" ? data["Result"]["v"].asInt() : -12345;
    }

    std::vector<Sent> sent;
    int drops = 0;
};

Json::Value Typed(const char* type, Json::Value value)
{
    Json::Value typed(Json::objectValue);
    typed["t"] = type;
    typed["v"] = std::move(value);
    return typed;
}

std::string CommandFrame(uint64_t seq, const std::string& name, Json::Value data = Json::Value(Json::objectValue))
{
    data["CMDNO"] = Typed("str", name);
    Json::Value frame(Json::objectValue);
    frame["seq"] = static_cast<Json::UInt64>(seq);
    frame["type"] = "cmd";
    frame["data"] = data;
    return Json::writeString(Json::StreamWriterBuilder(), frame);
}

class WsHubTest : public ::testing::Test {
protected:
    WsHubTest() : m_server(DevServer::Options{}), m_hub(m_server.GetState().ws) {}

    std::shared_ptr<FakePeer> NewPeer()
    {
        auto peer = std::make_shared<FakePeer>();
        m_hub.Attach(peer);
        m_peers.push_back(peer);
        return peer;
    }

    std::string Token(uint32_t user) { return m_server.GetState().IssueToken(user).token; }

    int Connect(FakePeer& peer, const std::string& token, bool force)
    {
        Json::Value data(Json::objectValue);
        data["Token"] = Typed("str", token);
        data["Force"] = Typed("bool", force);
        m_hub.OnText(peer, CommandFrame(++m_seq, "connect", data));
        return peer.LastResult();
    }

    int Reconnect(FakePeer& peer, const std::string& token, uint32_t user)
    {
        Json::Value data(Json::objectValue);
        data["Token"] = Typed("str", token);
        data["UserID"] = Typed("u32", user);
        m_hub.OnText(peer, CommandFrame(++m_seq, "reconnect", data));
        return peer.LastResult();
    }

    int Plain(FakePeer& peer, const std::string& name)
    {
        m_hub.OnText(peer, CommandFrame(++m_seq, name));
        return peer.LastResult();
    }

    int Join(FakePeer& peer, const std::string& code)
    {
        Json::Value data(Json::objectValue);
        data["Name"] = Typed("str", "Ada");
        data["RoomCode"] = Typed("str", code);
        data["AvatarUrl"] = Typed("str", "");
        m_hub.OnText(peer, CommandFrame(++m_seq, "room.join", data));
        return peer.LastResult();
    }

    DevServer::Server m_server;
    WsHub& m_hub;
    std::vector<std::shared_ptr<FakePeer>> m_peers;
    uint64_t m_seq = 0;
};

TEST_F(WsHubTest, RepliesCarryTheCommandsSequence)
{
    auto peer = NewPeer();
    m_hub.OnText(*peer, CommandFrame(77, "ping"));
    uint64_t seq = 0;
    std::string type;
    const Json::Value data = peer->Last(&seq, &type);
    EXPECT_EQ(seq, 77u);
    EXPECT_EQ(type, "reply");
    EXPECT_EQ(data["Result"]["v"].asInt(), WsResult::NotLoggedIn);
    EXPECT_EQ(data["TimeStamp"]["t"].asString(), "i64");

    // Nothing that cannot be answered is answered.
    for (const char* bad : {"", "garbage", "[]", R"({"seq":1,"type":"reply","data":{}})", R"({"type":"cmd"})"})
        m_hub.OnText(*peer, bad);
    EXPECT_EQ(peer->sent.size(), 1u);
    m_hub.OnText(*peer, R"({"seq":5,"type":"cmd","data":{}})");
    EXPECT_EQ(peer->LastResult(), WsResult::BadCommand);
    EXPECT_EQ(Plain(*peer, "no.such.thing"), WsResult::UnknownCommand);
}

// Nesting past the JSON reader's limit is a frame like any other that
// cannot be answered, not an exception out of the session's read.
TEST_F(WsHubTest, DeeplyNestedFrameIsIgnoredAndTheSessionGoesOn)
{
    auto peer = NewPeer();
    ASSERT_EQ(Connect(*peer, Token(7), false), WsResult::Ok);
    const size_t sent = peer->sent.size();
    for (size_t depth : {200u, 1000u, 5000u}) {
        const std::string deep = R"({"seq":9,"type":"cmd","data":{"CMDNO":{"t":"str","v":"ping"},"x":)" +
                                 std::string(depth, '[') + std::string(depth, ']') + "}}";
        EXPECT_NO_THROW(m_hub.OnText(*peer, deep)) << depth;
    }
    EXPECT_EQ(peer->sent.size(), sent);
    EXPECT_EQ(Plain(*peer, "ping"), WsResult::Ok);
    EXPECT_EQ(m_hub.LoggedInCount(), 1u);
}

TEST_F(WsHubTest, ConnectChecksTheTokenAndOneSessionPerAccount)
{
    auto first = NewPeer();
    auto second = NewPeer();
    EXPECT_EQ(Connect(*first, "forged", false), WsResult::TokenInvalid);
    EXPECT_EQ(m_hub.LoggedInCount(), 0u);

    const std::string token = Token(7);
    ASSERT_EQ(Connect(*first, token, false), WsResult::Ok);
    EXPECT_EQ(Plain(*first, "ping"), WsResult::Ok);

    // Signed in elsewhere: refused unless forced; forced, the older
    // connection is cut off.
    EXPECT_EQ(Connect(*second, token, false), WsResult::SignedInElsewhere);
    EXPECT_EQ(first->drops, 0);
    EXPECT_EQ(Connect(*second, token, true), WsResult::Ok);
    EXPECT_EQ(first->drops, 1);
    EXPECT_EQ(m_hub.LoggedInCount(), 1u);
    EXPECT_EQ(Plain(*first, "ping"), WsResult::NotLoggedIn);

    // Another account is no conflict.
    auto third = NewPeer();
    EXPECT_EQ(Connect(*third, Token(8), false), WsResult::Ok);
    EXPECT_EQ(m_hub.LoggedInCount(), 2u);
}

TEST_F(WsHubTest, ReconnectNeedsAKnownSession)
{
    const std::string token = Token(7);
    auto peer = NewPeer();
    EXPECT_EQ(Reconnect(*peer, token, 7), WsResult::SessionUnknown);
    ASSERT_EQ(Connect(*peer, token, false), WsResult::Ok);

    // The connection breaks; the client comes back on a new one.
    m_hub.Detach(peer.get());
    auto again = NewPeer();
    EXPECT_EQ(Reconnect(*again, token, 8), WsResult::TokenInvalid);  // not this token's user
    EXPECT_EQ(Reconnect(*again, token, 7), WsResult::Ok);

    // "disconnect" ends the session for good.
    EXPECT_EQ(Plain(*again, "disconnect"), WsResult::Ok);
    EXPECT_EQ(m_hub.LoggedInCount(), 0u);
    EXPECT_EQ(Reconnect(*again, token, 7), WsResult::SessionUnknown);

    ASSERT_EQ(Connect(*again, token, false), WsResult::Ok);
    m_hub.ForgetSessions();
    EXPECT_EQ(Reconnect(*again, token, 7), WsResult::SessionUnknown);
}

TEST_F(WsHubTest, JoinAnswersWithTheBookedRoomAndStatusFollowsIt)
{
    DevServer::Room booking;
    booking.title = "Weekly";
    booking.creatorId = 7;
    booking.closeMemberAudio = true;
    const DevServer::Room room = m_server.GetState().rooms.Create(booking, "https://meet.test/r/");

    auto host = NewPeer();
    auto guest = NewPeer();
    EXPECT_EQ(Join(*host, room.code), WsResult::NotLoggedIn);
    ASSERT_EQ(Connect(*host, Token(7), false), WsResult::Ok);
    ASSERT_EQ(Connect(*guest, Token(9), false), WsResult::Ok);
    EXPECT_EQ(Plain(*host, "room.status.get"), WsResult::NotInRoom);
    EXPECT_EQ(Join(*host, ""), WsResult::BadCommand);
    EXPECT_EQ(Join(*host, "000000000"), WsResult::RoomNotFound);

    ASSERT_EQ(Join(*host, room.code), WsResult::Ok);
    Json::Value data = host->Last();
    EXPECT_EQ(data["RoomName"]["v"].asString(), "Weekly");
    EXPECT_EQ(data["RoomURL"]["v"].asString(), room.url);
    EXPECT_EQ(data["HostID"]["t"].asString(), "i64");
    EXPECT_EQ(data["HostID"]["v"].asInt64(), 7);
    EXPECT_TRUE(data["IsChairman"]["v"].asBool());
    EXPECT_TRUE(data["CloseMemberAudio"]["v"].asBool());
    EXPECT_FALSE(data["CloseHostVideo"]["v"].asBool());
    EXPECT_EQ(data["UserID"]["v"].asString(), "7");
    EXPECT_EQ(data["RoomID"]["v"].asString(), room.code);
    for (const char* key : {"UserSig", "SdkAppID", "AccountType", "ActivateTime"}) {
        EXPECT_EQ(data[key]["t"].asString(), "str") << key;
        EXPECT_FALSE(data[key]["v"].asString().empty()) << key;
    }
    const std::string activated = data["ActivateTime"]["v"].asString();

    ASSERT_EQ(Join(*guest, room.code), WsResult::Ok);
    data = guest->Last();
    EXPECT_FALSE(data["IsChairman"]["v"].asBool());
    EXPECT_EQ(data["UserID"]["v"].asString(), "9");
    EXPECT_EQ(data["ActivateTime"]["v"].asString(), activated);

    // A change through the room routes shows in the next status.
    DevServer::Room change = *m_server.GetState().rooms.Find(room.code);
    change.title = "Weekly (moved)";
    ASSERT_TRUE(m_server.GetState().rooms.Modify(room.code, change).has_value());
    ASSERT_EQ(Plain(*guest, "room.status.get"), WsResult::Ok);
    data = guest->Last();
    EXPECT_EQ(data["RoomName"]["v"].asString(), "Weekly (moved)");
    for (const char* key : {"RoomURL", "UserID", "UserSig", "SdkAppID", "AccountType", "RoomID", "IsChairman",
                            "OpenBoardPreview"})
        EXPECT_FALSE(data.isMember(key)) << key;

    // Deleted: no longer there to join or to ask about.
    ASSERT_TRUE(m_server.GetState().rooms.Remove(room.code));
    EXPECT_EQ(Plain(*guest, "room.status.get"), WsResult::RoomNotFound);
}

TEST_F(WsHubTest, PutRoomFixesTheSharedState)
{
    DevServer::WsRoom room;
    room.name = "Board";
    room.hostId = 1;
    room.boardStarted = true;
    room.screenStarted = true;
    room.boardOperatorId = 5;
    room.screenOperatorId = 6;
    m_hub.PutRoom("424242", room);
    auto peer = NewPeer();
    ASSERT_EQ(Connect(*peer, Token(7), false), WsResult::Ok);
    ASSERT_EQ(Join(*peer, "424242"), WsResult::Ok);
    const Json::Value data = peer->Last();
    EXPECT_TRUE(data["BoardStarted"]["v"].asBool());
    EXPECT_TRUE(data["ScreenStarted"]["v"].asBool());
    EXPECT_EQ(data["BoardOperatorID"]["v"].asInt64(), 5);
    EXPECT_EQ(data["ScreenOperatorID"]["v"].asInt64(), 6);
    EXPECT_FALSE(data["IsChairman"]["v"].asBool());
}

TEST_F(WsHubTest, PushesNumberTheirSequenceAndReachOnlyLoggedInPeers)
{
    auto in = NewPeer();
    auto out = NewPeer();
    EXPECT_EQ(m_hub.Push("room.notify"), 0u);  // nobody to tell
    ASSERT_EQ(Connect(*in, Token(7), false), WsResult::Ok);
    const size_t before = out->sent.size();
    EXPECT_EQ(m_hub.Push("room.notify"), 1u);
    EXPECT_EQ(m_hub.Push("room.notify", DevServer::PushSeq::Repeat), 1u);
    EXPECT_EQ(m_hub.Push("room.notify", DevServer::PushSeq::Skip), 3u);
    EXPECT_EQ(m_hub.Push("room.notify"), 4u);
    EXPECT_EQ(out->sent.size(), before);
    uint64_t seq = 0;
    std::string type;
    const Json::Value data = in->Last(&seq, &type);
    EXPECT_EQ(type, "push");
    EXPECT_EQ(seq, 4u);
    EXPECT_EQ(data["CMDNO"]["v"].asString(), "room.notify");

    EXPECT_EQ(m_hub.SendRaw("raw", true), 2u);
    EXPECT_TRUE(in->sent.back().binary);
    EXPECT_EQ(m_hub.DropAll(), 2u);
    EXPECT_EQ(in->drops + out->drops, 2);
}

TEST_F(WsHubTest, FaultsApplyToTheirCommandAsOftenAsAsked)
{
    auto peer = NewPeer();
    ASSERT_EQ(Connect(*peer, Token(7), false), WsResult::Ok);

    DevServer::WsFault delay;
    delay.command = "ping";
    delay.delayMs = 1500;
    delay.remaining = 2;
    m_hub.SetFault(delay);
    EXPECT_EQ(Plain(*peer, "room.status.get"), WsResult::NotInRoom);
    EXPECT_EQ(peer->sent.back().delayMs, 0u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Plain(*peer, "ping"), WsResult::Ok);
        EXPECT_EQ(peer->sent.back().delayMs, 1500u);
    }
    EXPECT_EQ(Plain(*peer, "ping"), WsResult::Ok);
    EXPECT_EQ(peer->sent.back().delayMs, 0u);

    // A fault for any command; dropping answers nothing.
    DevServer::WsFault drop;
    drop.dropConnection = true;
    drop.remaining = 1;
    m_hub.SetFault(drop);
    const size_t before = peer->sent.size();
    m_hub.OnText(*peer, CommandFrame(99, "ping"));
    EXPECT_EQ(peer->drops, 1);
    EXPECT_EQ(peer->sent.size(), before);
    EXPECT_EQ(Plain(*peer, "ping"), WsResult::Ok);

    m_hub.SetRefuseConnections(true);
    m_hub.SetFault(delay);
    EXPECT_TRUE(m_hub.RefuseConnections());
    m_hub.ClearFaults();
    EXPECT_FALSE(m_hub.RefuseConnections());
    EXPECT_EQ(Plain(*peer, "ping"), WsResult::Ok);
    EXPECT_EQ(peer->sent.back().delayMs, 0u);
}

}  // namespace
