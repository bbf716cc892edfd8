// CUniqueFd: owns one POSIX file descriptor and closes it exactly once. Used for the sockets of
// the link, of switcher-emu and of the test peers, so that no path can leave one open.
#pragma once

#include <unistd.h>

class CUniqueFd {
  public:
    CUniqueFd() = default;
    explicit CUniqueFd(int fd)
        : m_fd(fd)
    {
    }
    ~CUniqueFd() { Reset(); }
    CUniqueFd(CUniqueFd&& other) noexcept
        : m_fd(other.Release())
    {
    }
    CUniqueFd& operator=(CUniqueFd&& other) noexcept
    {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;

    int Get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

    // Gives up ownership without closing.
    int Release()
    {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes the descriptor held (its close result is of no use: the descriptor is gone either
    // way) and takes `fd` instead.
    void Reset(int fd = -1)
    {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

  private:
    int m_fd = -1;
};
