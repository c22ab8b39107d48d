// The websocket transport's reply matcher, over a real connection to a
// small server on loopback. For each input the transport sends one command;
// the server answers it with the input's frames, in which "SEQ" stands for
// the command's sequence number, and then with a plain reply of its own.
// The first byte picks the command (connect, reconnect, disconnect or a room
// command); the rest holds up to four frames separated by zero bytes.
//
// The command must hear exactly one answer, reply or time-out, and a reply
// must come with the very command it answers. A frame matching no waiting
// command, or one that is not a reply, must reach nobody.

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "FuzzSupport.h"
#include "RecordWalk.h"
#include "pelbo/wirelink/CSCenter.h"
#include "pelbo/wirelink/CSSinkHelper.h"

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

// Accepts one connection after another and answers each command with the
// frames of the current script, then with a plain reply.
class Server {
public:
    Server() : m_acceptor(m_ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0))
    {
        m_thread = std::thread([this] { Run(); });
    }

    unsigned short Port() const { return m_acceptor.local_endpoint().port(); }

    void Script(std::vector<std::string> frames)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_script = std::move(frames);
    }

private:
    std::vector<std::string> TakeScript()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> frames;
        frames.swap(m_script);
        return frames;
    }

    static std::string WithSeq(std::string frame, const std::string& seq)
    {
        for (size_t at = frame.find("SEQ"); at != std::string::npos; at = frame.find("SEQ", at + seq.size()))
            frame.replace(at, 3, seq);
        return frame;
    }

    void Run()
    {
        for (;;) {
            tcp::socket socket(m_ioc);
            beast::error_code ec;
            m_acceptor.accept(socket, ec);
            if (ec)
                continue;
            // Frames go out one after another in small writes: without this
            // each would wait for the client's delayed acknowledgement.
            socket.set_option(tcp::no_delay(true), ec);
            websocket::stream<tcp::socket> ws(std::move(socket));
            ws.accept(ec);
            if (ec)
                continue;
            ws.text(true);
            while (!ec) {
                beast::flat_buffer buffer;
                ws.read(buffer, ec);
                if (ec)
                    break;
                Json::Value command;
                Json::Reader().parse(beast::buffers_to_string(buffer.data()), command);
                const std::string seq = std::to_string(command["seq"].asUInt64());
                for (const std::string& frame : TakeScript()) {
                    ws.write(net::buffer(WithSeq(frame, seq)), ec);
                    if (ec)
                        break;
                }
                if (!ec)
                    ws.write(net::buffer("{\"seq\":" + seq + ",\"type\":\"reply\",\"data\":{}}"), ec);
            }
        }
    }

    net::io_context m_ioc;
    tcp::acceptor m_acceptor;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<std::string> m_script;
};

// What the transport tells: the connection's state and each command's answer.
class Probe : public Aux::CSCenter::CConnectSink, public Aux::CSCenter::CCSSinkHelper {
public:
    ~Probe() override
    {
        Detach();
        DetachConnectSink();
    }

    void OnConnectState(int state) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connected = state == Aux::CSCenter::CONN_STATE_CONNECTED;
        m_changed.notify_all();
    }
    void OnSerPsuhLastSeq(uint64_t) override {}

    void OnRecvReply(IXData* reply, IXData* command) override
    {
        Fuzz::WalkRecord(reply);
        Answered(command);
    }
    void OnTimeout(IXData* command) override { Answered(command); }

    bool WaitConnected()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30), [this] { return m_connected; });
    }

    // Sends a command named name; true once its answer has come.
    bool SendAndWait(const wchar_t* name)
    {
        XDataPtr<IXData> command;
        if (CreateIXData(command.Receive(), 0) == 0 || !command)
            Fuzz::Fail("no record");
        command->SetIXDataStr(L"CMDNO", name);
        uint32_t serial = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            serial = ++m_serial;
            m_answers = 0;
        }
        command->SetIXDataU32(L"Probe", serial);
        if (Send(command.get(), nullptr) == 0)
            Fuzz::Fail("the transport takes the command");
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30), [this] { return m_answers > 0; });
    }

private:
    void Answered(IXData* command)
    {
        uint32_t serial = 0;
        Fuzz::Check(command != nullptr && command->GetIXDataU32(L"Probe", serial), "the answer names its command");
        std::lock_guard<std::mutex> lock(m_mutex);
        Fuzz::Check(serial == m_serial, "the answer comes with the command it answers");
        Fuzz::Check(++m_answers == 1, "one answer for each command");
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_connected = false;
    uint32_t m_serial = 0;
    unsigned m_answers = 0;
};

struct Session {
    Server server;
    Probe probe;

    Session()
    {
        Fuzz::PrivateRoot();
        const unsigned user = 4242;
        if (Aux::CSCenter::LWS_Init(1, nullptr, user, L"5f0c2d1e-fuzz", nullptr) == 0)
            Fuzz::Fail("the transport sets up");
        // A connection the input's frames broke comes back at once.
        Aux::CSCenter::LWS_SetBackoff(1, 2);
        const std::wstring url = L"ws://127.0.0.1:" + std::to_wstring(server.Port()) + L"/ws";
        if (Aux::CSCenter::LWS_StartConn(url.c_str(), &probe) == 0)
            Fuzz::Fail("the transport connects");
    }
};

Session& TheSession()
{
    static Session* session = new Session();
    return *session;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    Session& session = TheSession();
    Fuzz::Check(session.probe.WaitConnected(), "the transport connects again");
    // A text frame is valid UTF-8 by the protocol: the connection would end
    // at anything else before the transport saw it.
    std::vector<std::string> frames;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    for (size_t start = 0; start <= rest.size() && frames.size() < 4;) {
        size_t end = rest.find('\0', start);
        if (end == std::string::npos)
            end = rest.size();
        frames.push_back(Netcall::WideToUtf8(Netcall::Utf8ToWide(rest.substr(start, end - start))));
        start = end + 1;
    }
    session.server.Script(std::move(frames));
    static const wchar_t* const kCommands[] = {L"connect", L"reconnect", L"disconnect", L"room.join"};
    Fuzz::Check(session.probe.SendAndWait(kCommands[data[0] % 4]), "the command is answered");
    return 0;
}
