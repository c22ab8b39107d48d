#pragma once
// The local server started in-process for an integration test, on a free
// loopback port, over HTTP or over HTTPS with a throw-away CA whose
// certificate lands in a temporary folder that goes with the object.
//
//   TestSupport::TestServer server(TestSupport::TestServer::Https());
//   ASSERT_TRUE(server.Started()) << server.Error();
//   client.SetCaFile(server.CaFile()); client.Post(server.Url("/v1/..."), ...);

#include <string>

#include "devserver/DevServer.h"
#include "support/TempDir.h"

namespace TestSupport {

class TestServer {
public:
    static DevServer::Options Http();
    static DevServer::Options Https();

    // Starts at once; with tls and no caCertOut the CA certificate is
    // written into the temporary folder.
    explicit TestServer(DevServer::Options options = Http());

    bool Started() const { return m_started; }
    const std::string& Error() const { return m_error; }

    DevServer::Server& Server() { return m_server; }
    DevServer::Server::State& State() { return m_server.GetState(); }
    std::string BaseUrl() const { return m_server.BaseUrl(); }
    std::string Url(const std::string& path) const { return m_server.BaseUrl() + path; }
    // The CA certificate to trust; empty over HTTP.
    std::string CaFile() const { return m_server.CaCertFile(); }
    const TempDir& Dir() const { return m_dir; }
    // The proxy's address with a scheme ("http", "socks5", "socks5h"), as
    // the proxy setting takes it; options.proxy must have been set.
    std::string ProxyUrl(const std::string& scheme) const
    {
        return scheme + "://127.0.0.1:" + std::to_string(m_server.ProxyPort());
    }

private:
    static DevServer::Options WithCaInDir(DevServer::Options options, const TempDir& dir);

    TempDir m_dir;  // first: it outlives the server that writes into it
    DevServer::Server m_server;
    bool m_started = false;
    std::string m_error;
};

}  // namespace TestSupport
