#pragma once

// The real orlavant-vault binary as a child process (its path comes from ORLAVANT_VAULT_BINARY),
// with its standard output and error collected, its address read from what it prints, and
// its memory read from /proc.

#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <regex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

class VaultChild {
public:
    explicit VaultChild(const std::vector<std::string>& args) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        std::vector<std::string> all = {ORLAVANT_VAULT_BINARY};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : all)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        m_reader = std::thread([this, fd = out[0]] {
            char buffer[4096];
            ssize_t n;
            while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
                std::lock_guard lock(m_mutex);
                m_output.append(buffer, static_cast<std::size_t>(n));
                m_changed.notify_all();
            }
            ::close(fd);
            std::lock_guard lock(m_mutex);
            m_outputClosed = true;
            m_changed.notify_all();
        });
    }
    ~VaultChild() {
        if (m_pid > 0 && m_status < 0)
            ::kill(m_pid, SIGTERM);
        exitCode();
        if (m_reader.joinable())
            m_reader.join();
    }

    // Waits until the server prints its address (true) or its output ends because it exited.
    bool waitListening() {
        static const std::regex listening("listening on http://127\\.0\\.0\\.1:(\\d+)");
        std::unique_lock lock(m_mutex);
        std::smatch found;
        m_changed.wait(lock, [&] { return std::regex_search(m_output, found, listening) || m_outputClosed; });
        if (found.empty())
            return false;
        port = std::stoi(found[1]);
        return true;
    }
    // Waits for the process to end; its exit code, or 128 + the signal that ended it.
    int exitCode() {
        int status = 0;
        if (m_pid > 0 && m_status < 0 && ::waitpid(m_pid, &status, 0) == m_pid)
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return m_status;
    }
    std::string output() {
        if (m_status >= 0 && m_reader.joinable())
            m_reader.join();
        std::lock_guard lock(m_mutex);
        return m_output;
    }
    // Whether the server gave up before listening, exiting with an error that says `text`.
    bool exitsSaying(const std::string& text) {
        return !waitListening() && exitCode() > 0 && output().find(text) != std::string::npos;
    }
    // A field of /proc/<pid>/status in KiB ("VmRSS", "VmHWM"); -1 when unreadable.
    long statusKiB(const std::string& field) const {
        std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind(field + ":", 0) == 0)
                return std::stol(line.substr(field.size() + 1));
        return -1;
    }

    pid_t pid() const { return m_pid; }
    int port = -1;

private:
    pid_t m_pid = -1;
    int m_status = -1;
    std::thread m_reader;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_output;
    bool m_outputClosed = false;
};
