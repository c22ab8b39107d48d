#pragma once
// A loopback HTTP server that misbehaves on purpose, for the limits of a
// download: it reads a request's head and answers 200 in the way chosen,
// whatever was asked. It stops by itself: a connection ends when its bytes
// are sent, when the client goes, after a minute at the latest, or when the
// object goes; at most kMaxConnections are served.
//
//   TestSupport::HostileServer server(TestSupport::HostileServer::Trickle(1000, 500ms));
//   ASSERT_TRUE(server.Started());  download(server.Url("/face.png"), ...);

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace TestSupport {

class HostileServer {
public:
    struct Behaviour {
        // The Content-Length announced; -1: none (the body ends when the
        // connection closes).
        long long announced = -1;
        // Body bytes actually sent.
        unsigned long long served = 0;
        // Bytes per write and the pause after each.
        unsigned long long chunk = 64 << 10;
        std::chrono::milliseconds pause{0};
    };

    static constexpr unsigned kMaxConnections = 16;

    // Announces size, then sends one byte per pause.
    static Behaviour Trickle(unsigned long long size, std::chrono::milliseconds pause);
    // Announces announced bytes (-1: nothing) and sends served bytes at full speed.
    static Behaviour Flood(long long announced, unsigned long long served);

    explicit HostileServer(Behaviour behaviour);
    ~HostileServer();
    HostileServer(const HostileServer&) = delete;
    HostileServer& operator=(const HostileServer&) = delete;

    bool Started() const;
    uint16_t Port() const;
    std::string Url(const std::string& path) const;
    // Requests whose head arrived.
    unsigned Requests() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace TestSupport
