// The reference for bench_wirelink: a bare synchronous Beast websocket
// client that logs in and sends the same ping frames one after another, over
// a socket set up as wirelink sets up its own (no Nagle delay).

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
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

template <class Ws>
bool Drive(Ws& ws, const std::string& token, int total, std::vector<double>* latenciesUs, double* seconds)
{
    beast::get_lowest_layer(ws).set_option(tcp::no_delay(true));
    beast::flat_buffer buffer;
    ws.text(true);
    ws.write(net::buffer(Frame(1, "{\"CMDNO\":{\"t\":\"str\",\"v\":\"connect\"},\"Token\":{\"t\":\"str\",\"v\":\"" +
                                      token + "\"},\"Force\":{\"t\":\"bool\",\"v\":true}}")));
    ws.read(buffer);
    buffer.consume(buffer.size());
    const auto first = std::chrono::steady_clock::now();
    for (int i = 0; i < total; ++i) {
        const auto begin = std::chrono::steady_clock::now();
        ws.write(net::buffer(Frame(2 + static_cast<unsigned long long>(i),
                                   "{\"CMDNO\":{\"t\":\"str\",\"v\":\"ping\"},\"LastMsgSeq\":{\"t\":\"i64\",\"v\":0}}")));
        ws.read(buffer);
        buffer.consume(buffer.size());
        latenciesUs->push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count());
    }
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
    ws.close(websocket::close_code::normal);
    return true;
}

}  // namespace

bool RunBareWsClient(const std::string& host, const std::string& port, bool tls, const std::string& caFile,
                     const std::string& token, int total, std::vector<double>* latenciesUs, double* seconds)
{
    try {
        net::io_context ioc;
        tcp::resolver resolver(ioc);
        const auto results = resolver.resolve(host, port);
        if (!tls) {
            websocket::stream<tcp::socket> ws(ioc);
            net::connect(ws.next_layer(), results);
            ws.handshake(host + ":" + port, "/ws");
            return Drive(ws, token, total, latenciesUs, seconds);
        }
        ssl::context context(ssl::context::tls_client);
        context.load_verify_file(caFile);
        context.set_verify_mode(ssl::verify_peer);
        websocket::stream<beast::ssl_stream<tcp::socket>> ws(ioc, context);
        net::connect(beast::get_lowest_layer(ws), results);
        ws.next_layer().set_verify_callback(ssl::host_name_verification(host));
        ws.next_layer().handshake(ssl::stream_base::client);
        ws.handshake(host + ":" + port, "/ws");
        return Drive(ws, token, total, latenciesUs, seconds);
    } catch (const std::exception&) {
        return false;
    }
}
