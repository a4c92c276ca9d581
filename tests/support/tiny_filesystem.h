// A real file system that is full or read-only, for tests of what writers
// do then: a small tmpfs mounted over a folder in a private mount namespace
// of a child process. Where the system allows no such namespace, the test
// is skipped.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace lumigrab::testing {

// The child's exit code when the namespace or the mount cannot be had.
constexpr int NoPrivateMount = 77;

namespace detail {

inline bool WriteProcFile(const char* path, const std::string& text)
{
    const int file = ::open(path, O_WRONLY | O_CLOEXEC);
    if (file < 0)
        return false;
    const bool written = ::write(file, text.data(), text.size()) == ssize_t(text.size());
    ::close(file);
    return written;
}

// In the child: a mount namespace of its own (and a user namespace where
// the test does not run as root), whose mounts never reach the parent's.
inline bool EnterPrivateMounts()
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (uid == 0) {
        if (::unshare(CLONE_NEWNS) != 0)
            return false;
    } else {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        WriteProcFile("/proc/self/setgroups", "deny");
        if (!WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1")
            || !WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return false;
    }
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

} // namespace detail

// Runs body in a child process in which folder (which must exist) is an
// empty tmpfs of bytes bytes, mounted read-only when readOnly, and returns
// the text body returned (what it saw, for the test to compare); nullopt
// where the system allows no private mount. body runs outside the test
// framework, so it checks nothing itself.
inline std::optional<std::string> RunOnTinyFileSystem(const std::filesystem::path& folder, size_t bytes,
    bool readOnly, const std::function<std::string()>& body)
{
    int channel[2];
    if (::pipe(channel) != 0)
        return "no pipe";
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        if (!detail::EnterPrivateMounts())
            ::_exit(NoPrivateMount);
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
        if (::mount("lumigrab-test", folder.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options.c_str()) != 0)
            ::_exit(NoPrivateMount);
        std::string outcome;
        try {
            outcome = body();
        } catch (const std::exception& error) {
            outcome = std::string("raised: ") + error.what();
        }
        const char* data = outcome.data();
        size_t left = outcome.size();
        while (left > 0) {
            const ssize_t written = ::write(channel[1], data, left);
            if (written <= 0)
                break;
            data += written;
            left -= size_t(written);
        }
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string outcome;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(channel[0], buffer, sizeof buffer)) > 0)
        outcome.append(buffer, size_t(got));
    ::close(channel[0]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return "the child process did not end normally";
    if (WEXITSTATUS(status) == NoPrivateMount)
        return std::nullopt;
    return outcome;
}

} // namespace lumigrab::testing
