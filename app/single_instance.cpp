#include "app/single_instance.h"

#include "platform/timer.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace app {

namespace {
constexpr uint32_t kMaxArgs = 4096;
constexpr uint32_t kMaxArgBytes = 1u << 20;

int64_t NowMs() {
    return platform::MonotonicNs() / 1000000;
}

// Waits until fd is ready for events or the deadline passes.
bool WaitFd(int fd, short events, int64_t deadlineMs) {
    for (;;) {
        int64_t left = deadlineMs - NowMs();
        if (left < 0) left = 0;
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, int(left));
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

bool WriteAll(int fd, const void* data, size_t size, int64_t deadlineMs) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            size -= size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!WaitFd(fd, POLLOUT, deadlineMs)) return false;
        } else {
            return false;
        }
    }
    return true;
}

bool ReadAll(int fd, void* data, size_t size, int64_t deadlineMs) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = ::recv(fd, p, size, 0);
        if (n > 0) {
            p += n;
            size -= size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!WaitFd(fd, POLLIN, deadlineMs)) return false;
        } else {
            return false;
        }
    }
    return true;
}

void PutU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += char(uint8_t(v >> (8 * i)));
}

bool ReadU32(int fd, uint32_t& v, int64_t deadlineMs) {
    uint8_t b[4];
    if (!ReadAll(fd, b, 4, deadlineMs)) return false;
    v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    return true;
}

bool FillAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}
} // namespace

CSingleInstance::CSingleInstance(std::string folder)
    : folder_(folder.empty() ? DefaultFolder() : std::move(folder)) {
    while (folder_.size() > 1 && folder_.back() == '/') folder_.pop_back();
}

CSingleInstance::~CSingleInstance() {
    Release();
}

std::string CSingleInstance::DefaultFolder() {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    return dir && *dir ? std::string(dir) : std::string("/tmp");
}

std::string CSingleInstance::LockPath() const {
    return folder_ + "/THEONDRELLEINSTANCE-" + std::to_string(::getuid()) + ".lock";
}

std::string CSingleInstance::SocketPath() const {
    return folder_ + "/THEONDRELLEINSTANCE-" + std::to_string(::getuid()) + ".sock";
}

CSingleInstance::Result CSingleInstance::Acquire(const std::vector<std::string>& args,
                                                 int timeoutMs) {
    if (lockFd_ >= 0) return Result::kFirst;
    int fd = ::open(LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return Result::kLockFailed;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        lockFd_ = fd;
        // Not listening is no reason to refuse the start: later starts are then refused.
        Listen();
        return Result::kFirst;
    }
    int err = errno;
    ::close(fd);
    if (err != EWOULDBLOCK) return Result::kLockFailed;
    return HandOver(args, timeoutMs) ? Result::kHandedOver : Result::kRefused;
}

bool CSingleInstance::Listen() {
    sockaddr_un addr;
    std::string path = SocketPath();
    if (!FillAddress(path, addr)) return false;
    // A socket left by an instance that ended without removing it: the lock is ours, so it is
    // nobody's.
    ::unlink(path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        return false;
    }
    ::chmod(path.c_str(), 0600);
    listenFd_ = fd;
    return true;
}

bool CSingleInstance::HandOver(const std::vector<std::string>& args, int timeoutMs) {
    sockaddr_un addr;
    if (!FillAddress(SocketPath(), addr)) return false;
    std::string message;
    PutU32(message, uint32_t(args.size()));
    for (const std::string& a : args) {
        PutU32(message, uint32_t(a.size()));
        message += a;
    }
    const int64_t deadline = NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    // The holder may be starting and not listen yet: try again until the deadline.
    for (;;) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            uint8_t answer = 0;
            bool ok = WriteAll(fd, message.data(), message.size(), deadline) &&
                      ReadAll(fd, &answer, 1, deadline) && answer == 1;
            ::close(fd);
            return ok;
        }
        ::close(fd);
        if (NowMs() >= deadline) return false;
        platform::SleepNs(20 * 1000000LL);
    }
}

std::vector<std::vector<std::string>> CSingleInstance::Poll() {
    std::vector<std::vector<std::string>> received;
    if (listenFd_ < 0) return received;
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) break;
        // A peer that sends nothing or garbage costs at most this long and is dropped.
        const int64_t deadline = NowMs() + 1000;
        uint32_t count = 0;
        std::vector<std::string> args;
        bool ok = ReadU32(fd, count, deadline) && count <= kMaxArgs;
        uint64_t total = 0;
        for (uint32_t i = 0; ok && i < count; ++i) {
            uint32_t length = 0;
            ok = ReadU32(fd, length, deadline) && length <= kMaxArgBytes &&
                 (total += length) <= kMaxArgBytes;
            if (!ok) break;
            std::string a(length, '\0');
            ok = ReadAll(fd, a.data(), length, deadline);
            args.push_back(std::move(a));
        }
        if (ok) {
            uint8_t answer = 1;
            WriteAll(fd, &answer, 1, deadline);
            received.push_back(std::move(args));
        }
        ::close(fd);
    }
    return received;
}

void CSingleInstance::Release() {
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        ::unlink(SocketPath().c_str());
    }
    if (lockFd_ >= 0) {
        ::flock(lockFd_, LOCK_UN);
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

} // namespace app
