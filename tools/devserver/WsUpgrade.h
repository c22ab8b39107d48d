#pragma once
// The hand-over from the HTTP session to the websocket session once a
// request asks for the upgrade on the websocket path.

#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include "devserver/WsHub.h"

namespace DevServer {

constexpr const char* kWebsocketPath = "/ws";

// Takes the stream over, answers the upgrade and serves the session.
void AcceptWebsocket(WsHub& hub, boost::beast::tcp_stream&& stream,
                     boost::beast::http::request<boost::beast::http::string_body>&& request);
void AcceptWebsocket(WsHub& hub, boost::beast::ssl_stream<boost::beast::tcp_stream>&& stream,
                     boost::beast::http::request<boost::beast::http::string_body>&& request);

}  // namespace DevServer
