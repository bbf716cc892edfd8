// A scripted switcher for byte-level link tests: listens on 127.0.0.1 (or another loopback
// address) at an ephemeral port, accepts one connection and runs a script on it on a thread of
// its own. The script sees the raw socket; the connection closes when the script returns.
#pragma once

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "link/socket_io.h"
#include "link/switcher_link.h"
#include "link/unique_fd.h"

class CScriptedPeer {
  public:
    using Script = std::function<void(int fd)>;

    explicit CScriptedPeer(Script script, const char* address = "127.0.0.1", int backlog = 4)
    {
        m_listener = CUniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &local.sin_addr);
        ::bind(m_listener.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local);
        ::listen(m_listener.Get(), backlog);
        socklen_t length = sizeof local;
        ::getsockname(m_listener.Get(), reinterpret_cast<sockaddr*>(&local), &length);
        m_port = ntohs(local.sin_port);
        if (script) {
            m_thread = std::thread([this, script = std::move(script)] {
                // Gives up after a few seconds, so that a link that never connects fails the test
                // instead of hanging it.
                if (!WaitForSocket(m_listener.Get(), POLLIN, 5000)) return;
                CUniqueFd connection(::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
                if (connection) script(connection.Get());
            });
        }
    }
    ~CScriptedPeer() { Join(); }

    uint16_t Port() const { return m_port; }
    int Listener() const { return m_listener.Get(); }
    void Join()
    {
        if (m_thread.joinable()) m_thread.join();
    }

  private:
    CUniqueFd m_listener;
    uint16_t m_port = 0;
    std::thread m_thread;
};

// Peer-side helpers: read what the link sent, answer with bytes.
inline std::vector<uint8_t> PeerRead(int fd, size_t count)
{
    std::vector<uint8_t> bytes(count);
    if (!ReceiveAll(fd, bytes.data(), count, 5000)) bytes.clear();
    return bytes;
}

inline void PeerSend(int fd, std::vector<uint8_t> bytes)
{
    SendAll(fd, bytes.data(), bytes.size(), 5000);
}

// True when the link closed its end without sending anything more.
inline bool PeerSeesEnd(int fd)
{
    uint8_t byte;
    return ReceiveSome(fd, &byte, 1, 5000) == 0;
}

// Makes the coming close a reset instead of an orderly end, so that the link's next send fails.
inline void PeerReset(int fd)
{
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

// Link inputs for tests: a fixed address and FMEM 1 state.
struct TestInputs final : LinkInputs {
    std::array<uint8_t, 4> address{127, 0, 0, 1};
    bool fmem1 = true;
    std::array<uint8_t, 4> SwitcherAddress() const override { return address; }
    bool Fmem1Checked() const override { return fmem1; }
};

// Tests that expect a time limit to strike use kShortLimitMs; every other exchange gets a
// generous limit, so that a loaded machine cannot make it fail.
constexpr int kShortLimitMs = 400;

inline LinkOptions TestLinkOptions(uint16_t port, int limitMs = 5000)
{
    LinkOptions options;
    options.port = port;
    options.connectTimeoutMs = limitMs;
    options.idleTimeoutMs = limitMs;
    return options;
}

// A port on 127.0.0.1 that nobody listens on: bound once, then released.
inline uint16_t UnusedPort()
{
    CScriptedPeer probe(nullptr);
    return probe.Port();
}
