// The references for bench_wirelink: bare Beast websocket clients that log in
// and send the same ping frames one after another, over a socket set up as
// wirelink sets up its own (no Nagle delay).
//  - synchronous: one thread writes each ping and reads its answer;
//  - asynchronous: Beast's usual shape for an application whose other threads
//    send: the stream lives on an I/O thread that keeps a read going, a ping
//    is posted to it, and the sending thread waits for the answer.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

std::string Frame(unsigned long long seq, const std::string& data)
{
    return "{\"seq\":" + std::to_string(seq) + ",\"type\":\"cmd\",\"data\":" + data + "}";
}

std::string ConnectFrame(const std::string& token)
{
    return Frame(1, "{\"CMDNO\":{\"t\":\"str\",\"v\":\"connect\"},\"Token\":{\"t\":\"str\",\"v\":\"" + token +
                        "\"},\"Force\":{\"t\":\"bool\",\"v\":true}}");
}

std::string PingFrame(int i)
{
    return Frame(2 + static_cast<unsigned long long>(i),
                 "{\"CMDNO\":{\"t\":\"str\",\"v\":\"ping\"},\"LastMsgSeq\":{\"t\":\"i64\",\"v\":0}}");
}

double MicrosecondsSince(std::chrono::steady_clock::time_point begin)
{
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count();
}

template <class Ws>
void Synchronous(Ws& ws, const std::string& token, int total, std::vector<double>* latenciesUs, double* seconds)
{
    beast::flat_buffer buffer;
    ws.write(net::buffer(ConnectFrame(token)));
    ws.read(buffer);
    buffer.consume(buffer.size());
    const auto first = std::chrono::steady_clock::now();
    for (int i = 0; i < total; ++i) {
        const auto begin = std::chrono::steady_clock::now();
        ws.write(net::buffer(PingFrame(i)));
        ws.read(buffer);
        buffer.consume(buffer.size());
        latenciesUs->push_back(MicrosecondsSince(begin));
    }
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
    ws.close(websocket::close_code::normal);
}

template <class Ws>
class Asynchronous {
public:
    Asynchronous(net::io_context& ioc, Ws& ws) : m_ioc(ioc), m_ws(ws) {}

    void Run(const std::string& token, int total, std::vector<double>* latenciesUs, double* seconds)
    {
        auto work = net::make_work_guard(m_ioc);
        Read();
        std::thread io([this] { m_ioc.run(); });
        bool ok = Exchange(ConnectFrame(token));
        const auto first = std::chrono::steady_clock::now();
        for (int i = 0; ok && i < total; ++i) {
            const auto begin = std::chrono::steady_clock::now();
            ok = Exchange(PingFrame(i));
            if (ok)
                latenciesUs->push_back(MicrosecondsSince(begin));
        }
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
        net::post(m_ws.get_executor(), [this] {
            beast::error_code ignored;
            beast::get_lowest_layer(m_ws).close(ignored);
        });
        work.reset();
        io.join();
        if (!ok)
            latenciesUs->clear();
    }

private:
    void Read()
    {
        m_ws.async_read(m_buffer, [this](beast::error_code ec, std::size_t) {
            m_buffer.consume(m_buffer.size());
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_answered = true;
                m_failed = m_failed || static_cast<bool>(ec);
            }
            m_changed.notify_one();
            if (!ec)
                Read();
        });
    }

    bool Exchange(std::string frame)
    {
        net::post(m_ws.get_executor(), [this, frame = std::move(frame)]() mutable {
            m_out = std::move(frame);
            m_ws.async_write(net::buffer(m_out), [this](beast::error_code ec, std::size_t) {
                if (!ec)
                    return;
                std::lock_guard<std::mutex> lock(m_mutex);
                m_failed = m_answered = true;
                m_changed.notify_one();
            });
        });
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_answered; });
        m_answered = false;
        return !m_failed;
    }

    net::io_context& m_ioc;
    Ws& m_ws;
    beast::flat_buffer m_buffer;
    std::string m_out;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_answered = false;
    bool m_failed = false;
};

template <class Ws>
bool Drive(net::io_context& ioc, Ws& ws, bool asynchronous, const std::string& token, int total, std::vector<double>* latenciesUs,
           double* seconds)
{
    beast::get_lowest_layer(ws).set_option(tcp::no_delay(true));
    ws.text(true);
    if (!asynchronous) {
        Synchronous(ws, token, total, latenciesUs, seconds);
        return true;
    }
    Asynchronous<Ws>(ioc, ws).Run(token, total, latenciesUs, seconds);
    return !latenciesUs->empty();
}

}  // namespace

bool RunBareWsClient(const std::string& host, const std::string& port, bool tls, bool asynchronous,
                     const std::string& caFile, const std::string& token, int total, std::vector<double>* latenciesUs,
                     double* seconds)
{
    try {
        net::io_context ioc;
        tcp::resolver resolver(ioc);
        const auto results = resolver.resolve(host, port);
        if (!tls) {
            websocket::stream<tcp::socket> ws(ioc);
            net::connect(ws.next_layer(), results);
            ws.handshake(host + ":" + port, "/ws");
            return Drive(ioc, ws, asynchronous, token, total, latenciesUs, seconds);
        }
        ssl::context context(ssl::context::tls_client);
        context.load_verify_file(caFile);
        context.set_verify_mode(ssl::verify_peer);
        websocket::stream<beast::ssl_stream<tcp::socket>> ws(ioc, context);
        net::connect(beast::get_lowest_layer(ws), results);
        ws.next_layer().set_verify_callback(ssl::host_name_verification(host));
        ws.next_layer().handshake(ssl::stream_base::client);
        ws.handshake(host + ":" + port, "/ws");
        return Drive(ioc, ws, asynchronous, token, total, latenciesUs, seconds);
    } catch (const std::exception&) {
        return false;
    }
}
