// The websocket frame decoder and what a reply meets after it. The first
// byte picks the command the reply answers; the rest is the frame's text.
// A frame the decoder accepts encodes again and decodes to the same frame.
// A reply then reaches the handler of the command it answers, with the
// command that was sent: the session's connect, reconnect, disconnect and
// ping (from the session manager itself, over a transport that records
// what it sends) and the room's join and status commands.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <map>
#include <string>

#include "FuzzSupport.h"
#include "RecordWalk.h"
#include "WireCodec.h"
#include "pelbo/meetings/MeetingMgr.h"
#include "pelbo/session/SessionTransport.h"
#include "pelbo/session/WebsocketMgr.h"

namespace {

// Stands in for the websocket library: the latest command of each kind and
// the sink that waits for its reply.
class RecordingTransport : public ISessionTransport {
public:
    struct Sent {
        Aux::CSCenter::CCSSinkHelper* sink = nullptr;
        XDataPtr<IXData> command;
    };

    int Init(Aux::CSCenter::LogCallback, const unsigned&, const wchar_t*) override { return 1; }
    int StartConn(const wchar_t*, Aux::CSCenter::CConnectSink*) override { return 1; }
    int IsLogined() override { return 1; }
    int ReConn() override { return 1; }
    int StopConn() override { return 1; }
    int Send(Aux::CSCenter::CCSSinkHelper& sink, IXData* command) override
    {
        CStringW name;
        command->GetIXDataStr(L"CMDNO", name);
        command->AddRef();
        m_sent[name.str()] = Sent{&sink, XDataPtr<IXData>(command)};
        return 1;
    }

    Sent* Latest(const std::wstring& name)
    {
        const auto it = m_sent.find(name);
        return it != m_sent.end() ? &it->second : nullptr;
    }

private:
    std::map<std::wstring, Sent> m_sent;
};

struct Session {
    RecordingTransport transport;
    // The keep-alive never ticks within a run.
    CWebsocketMgr manager{transport, 3600u * 1000u};
};

Session& TheSession()
{
    static Session* session = [] {
        Fuzz::PrivateRoot();
        return new Session();
    }();
    return *session;
}

XDataPtr<IXData> NewRecord()
{
    XDataPtr<IXData> record;
    if (CreateIXData(record.Receive(), 0) == 0 || !record)
        Fuzz::Fail("no record");
    return record;
}

void ReplyToSession(const wchar_t* name, IXData* reply)
{
    Session& session = TheSession();
    if (std::wstring(name) == L"connect")
        session.manager.Connect(0);
    else if (std::wstring(name) == L"disconnect")
        session.manager.DisConnect();
    else if (std::wstring(name) == L"reconnect") {
        // A session that was signed in before sends "reconnect" once the
        // connection is up again.
        session.manager.SetLoginPre(0);
        session.manager.OnConnectState(Aux::CSCenter::CONN_STATE_CONNECTED);
        session.manager.SetLoginPre(1);
    } else if (std::wstring(name) == L"ping" && session.transport.Latest(name) == nullptr) {
        // The first ping follows a connect that succeeded.
        XDataPtr<IXData> accepted = NewRecord();
        accepted->SetIXDataI32(L"Result", 0);
        ReplyToSession(L"connect", accepted.get());
    }
    RecordingTransport::Sent* sent = session.transport.Latest(name);
    if (sent == nullptr)
        return;
    const RecordingTransport::Sent waiting = *sent;
    waiting.sink->OnRecvReply(reply, waiting.command.get());
}

void ReplyToRoom(bool join, IXData* reply)
{
    const std::shared_ptr<CMeetingMgr> meetings = CMeetingMgr::Instance().Get();
    XDataPtr<IXData> command = NewRecord();
    if (join) {
        command->SetIXDataStr(L"CMDNO", L"room.join");
        command->SetIXDataStr(L"Name", L"Ann");
        command->SetIXDataStr(L"RoomCode", L"123456789");
        command->SetIXDataStr(L"AvatarUrl", L"https://img.test/a.png");
        meetings->JoinSink().OnRecvReply(reply, command.get());
    } else {
        command->SetIXDataStr(L"CMDNO", L"room.status.get");
        meetings->StatusSink().OnRecvReply(reply, command.get());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    TheSession();
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    Wirelink::Frame frame;
    std::string error;
    if (!Wirelink::DecodeFrame(text, &frame, &error))
        return 0;
    Fuzz::Check(frame.data.get() != nullptr, "a decoded frame has a record");
    const std::string encoded = Wirelink::EncodeFrame(frame.type, frame.seq, frame.data.get());
    Fuzz::Check(!encoded.empty(), "a decoded frame encodes again");
    Wirelink::Frame again;
    Fuzz::Check(Wirelink::DecodeFrame(encoded, &again, &error), "an encoded frame decodes");
    Fuzz::Check(again.type == frame.type && again.seq == frame.seq, "type and sequence survive");
    Fuzz::Check(Wirelink::EncodeFrame(again.type, again.seq, again.data.get()) == encoded,
                "the record survives encoding");
    if (frame.type != Wirelink::FrameType::Reply)
        return 0;
    Fuzz::WalkRecord(frame.data.get());
    switch (data[0] % 6) {
    case 0:
        ReplyToSession(L"connect", frame.data.get());
        break;
    case 1:
        ReplyToSession(L"reconnect", frame.data.get());
        break;
    case 2:
        ReplyToSession(L"disconnect", frame.data.get());
        break;
    case 3:
        ReplyToSession(L"ping", frame.data.get());
        break;
    case 4:
        ReplyToRoom(true, frame.data.get());
        break;
    default:
        ReplyToRoom(false, frame.data.get());
        break;
    }
    return 0;
}
