// Runs the built programs (switcher-emu, imgcast-cli) as child processes for end-to-end tests.
// They sit beside the test program in the build's bin folder.
#pragma once

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "link/unique_fd.h"

#include <limits.h>
#include <spawn.h>

extern char** environ;

inline std::string ProgramPath(const char* name)
{
    char path[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    std::string own(path, length > 0 ? static_cast<size_t>(length) : 0);
    return own.substr(0, own.rfind('/') + 1) + name;
}

// A child whose standard output and error are collected by a reader thread each.
class CChildProcess {
  public:
    CChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                  const std::vector<std::string>& environment = {})
    {
        int output[2];
        int errors[2];
        ::pipe2(output, O_CLOEXEC);
        ::pipe2(errors, O_CLOEXEC);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        // A variable given here replaces the inherited one of the same name (the first of two
        // equal names is the one a program sees).
        std::vector<char*> envp;
        for (char** variable = environ; *variable != nullptr; ++variable) {
            const std::string_view inherited(*variable);
            const std::string_view name = inherited.substr(0, inherited.find('=') + 1);
            bool replaced = false;
            for (const std::string& given : environment)
                replaced = replaced || std::string_view(given).substr(0, name.size()) == name;
            if (!replaced) envp.push_back(*variable);
        }
        for (const std::string& variable : environment)
            envp.push_back(const_cast<char*>(variable.c_str()));
        envp.push_back(nullptr);
        if (::posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) !=
            0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(output[1]);
        ::close(errors[1]);
        m_outputReader = std::thread([this, fd = output[0]] { Collect(fd, &m_output); });
        m_errorReader = std::thread([this, fd = errors[0]] { Collect(fd, &m_errors); });
    }

    ~CChildProcess()
    {
        if (m_pid > 0 && !m_exited) {
            ::kill(m_pid, SIGKILL);
            Wait();
        }
        JoinReaders();
    }

    bool Started() const { return m_pid > 0; }

    // Waits for the child to end and returns its exit status (-1 when a signal ended it).
    int Wait()
    {
        if (!m_exited) {
            int status = 0;
            while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
            m_exited = true;
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        JoinReaders();
        return m_status;
    }

    void Signal(int signal) { ::kill(m_pid, signal); }

    // Waits up to `milliseconds` for a line of standard output that starts with `prefix`;
    // returns it, or "" when none came.
    std::string WaitForLine(const std::string& prefix, int milliseconds = 5000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        std::string found;
        m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
            size_t start = 0;
            while (start < m_output.size()) {
                size_t end = m_output.find('\n', start);
                if (end == std::string::npos) break;
                if (m_output.compare(start, prefix.size(), prefix) == 0) {
                    found = m_output.substr(start, end - start);
                    return true;
                }
                start = end + 1;
            }
            return m_outputClosed;
        });
        return found;
    }

    std::string Output()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_output;
    }
    std::string Errors()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_errors;
    }

  private:
    void Collect(int fd, std::string* into)
    {
        CUniqueFd pipe(fd);
        char buffer[4096];
        for (;;) {
            ssize_t count = ::read(fd, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR) continue;
            std::lock_guard<std::mutex> lock(m_mutex);
            if (count <= 0) {
                if (into == &m_output) m_outputClosed = true;
                m_changed.notify_all();
                return;
            }
            into->append(buffer, static_cast<size_t>(count));
            m_changed.notify_all();
        }
    }

    void JoinReaders()
    {
        if (m_outputReader.joinable()) m_outputReader.join();
        if (m_errorReader.joinable()) m_errorReader.join();
    }

    pid_t m_pid = -1;
    bool m_exited = false;
    int m_status = -1;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_output;
    std::string m_errors;
    bool m_outputClosed = false;
    std::thread m_outputReader;
    std::thread m_errorReader;
};

// switcher-emu on an ephemeral port of 127.0.0.1, stopped with SIGTERM at the end.
class CEmulatorProcess {
  public:
    explicit CEmulatorProcess(std::vector<std::string> options = {})
    {
        options.insert(options.begin(), {"--port", "0"});
        m_process = std::make_unique<CChildProcess>(ProgramPath("switcher-emu"), options);
        const std::string line = m_process->WaitForLine("listening on ");
        size_t colon = line.rfind(':');
        if (colon != std::string::npos)
            m_port = static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
    }
    ~CEmulatorProcess() { Stop(); }

    uint16_t Port() const { return m_port; }
    CChildProcess& Process() { return *m_process; }
    // Stops the emulator and returns its exit status.
    int Stop()
    {
        if (m_stopped) return m_status;
        m_stopped = true;
        m_process->Signal(SIGTERM);
        m_status = m_process->Wait();
        return m_status;
    }

  private:
    std::unique_ptr<CChildProcess> m_process;
    uint16_t m_port = 0;
    bool m_stopped = false;
    int m_status = -1;
};
