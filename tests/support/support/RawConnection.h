#pragma once
// A bare TCP connection for tests that must send what no HTTP client would
// (a broken request, half a request) or watch exactly when the server
// closes. Every wait has a limit, so a server that misbehaves fails the test
// instead of hanging it.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace TestSupport {

class RawConnection {
public:
    RawConnection();
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool Connect(const std::string& host, uint16_t port);
    bool Send(const std::string& bytes);

    // Reads until the peer closes the connection or the limit passes.
    // *closed tells which: true when the peer closed (or reset) it.
    std::string ReadUntilClosed(std::chrono::milliseconds limit, bool* closed);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace TestSupport
