#include "support/TestServer.h"

namespace TestSupport {

DevServer::Options TestServer::Http()
{
    DevServer::Options options;
    options.host = "127.0.0.1";
    options.port = 0;
    return options;
}

DevServer::Options TestServer::Https()
{
    DevServer::Options options = Http();
    options.tls = true;
    return options;
}

DevServer::Options TestServer::WithCaInDir(DevServer::Options options, const TempDir& dir)
{
    if (options.tls && options.certFile.empty() && options.caCertOut.empty() && !dir.Path().empty())
        options.caCertOut = dir.File("ca.pem");
    return options;
}

TestServer::TestServer(DevServer::Options options) : m_server(WithCaInDir(std::move(options), m_dir))
{
    m_started = m_server.Start(&m_error);
}

}  // namespace TestSupport
