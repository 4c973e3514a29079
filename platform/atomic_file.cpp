#include "platform/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {
std::string ErrnoText(const std::string& what, const std::string& path) {
    return what + " '" + path + "': " + std::strerror(errno);
}
} // namespace

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out, std::string* error) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = ErrnoText("Cannot open", path);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error) *error = "Not a regular file '" + path + "'";
        ::close(fd);
        return false;
    }
    out.reserve(static_cast<size_t>(st.st_size));
    uint8_t chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (error) *error = ErrnoText("Cannot read", path);
            ::close(fd);
            out.clear();
            return false;
        }
        if (n == 0) break;
        out.insert(out.end(), chunk, chunk + n);
    }
    ::close(fd);
    return true;
}

namespace {

// A slot is free (0), being filled or emptied (1), or holds a path (2).
struct PendingSlot {
    std::atomic<int> state{0};
    char path[kMaxPendingPath];
};
PendingSlot g_pending[kMaxPendingTemporaries];

void RemovePendingAndEnd(int sig) {
    for (PendingSlot& slot : g_pending)
        if (slot.state.load(std::memory_order_acquire) == 2) ::unlink(slot.path);
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    ::sigaction(sig, &sa, nullptr);
    ::raise(sig);
}

} // namespace

bool RegisterPendingTemporary(const std::string& path) {
    if (path.empty() || path.size() >= kMaxPendingPath) return false;
    for (PendingSlot& slot : g_pending) {
        int expected = 0;
        if (!slot.state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) continue;
        std::memcpy(slot.path, path.c_str(), path.size() + 1);
        slot.state.store(2, std::memory_order_release);
        return true;
    }
    return false;
}

void ForgetPendingTemporary(const std::string& path) {
    for (PendingSlot& slot : g_pending) {
        if (slot.state.load(std::memory_order_acquire) != 2 || path != slot.path) continue;
        int expected = 2;
        if (slot.state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
            slot.path[0] = '\0';
            slot.state.store(0, std::memory_order_release);
            return;
        }
    }
}

void RemoveTemporariesWhenStopped() {
    struct sigaction sa {};
    sa.sa_handler = RemovePendingAndEnd;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

AtomicFileWriter::AtomicFileWriter(std::string target) : target_(std::move(target)) {}

AtomicFileWriter::~AtomicFileWriter() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
    if (!committed_ && !temp_.empty()) ForgetPendingTemporary(temp_);
}

bool AtomicFileWriter::Open() {
    std::string pattern = target_ + ".tmpXXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) {
        error_ = ErrnoText("Cannot create", pattern);
        return false;
    }
    temp_ = name.data();
    RegisterPendingTemporary(temp_);
    // Keep the permissions an ordinary new file would get, or those of the file replaced.
    struct stat st {};
    if (::stat(target_.c_str(), &st) == 0) {
        ::fchmod(fd_, st.st_mode & 07777);
    } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd_, 0666 & ~mask);
    }
    return true;
}

bool AtomicFileWriter::Write(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd_, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = ErrnoText("Cannot write", temp_);
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool AtomicFileWriter::Commit() {
    if (fd_ < 0) {
        error_ = "File was not opened for writing";
        return false;
    }
    if (::fsync(fd_) != 0) {
        error_ = ErrnoText("Cannot flush", temp_);
        return false;
    }
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0) {
        error_ = ErrnoText("Cannot close", temp_);
        return false;
    }
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        error_ = ErrnoText("Cannot replace", target_);
        return false;
    }
    committed_ = true;
    ForgetPendingTemporary(temp_);
    return true;
}

bool WriteFileAtomically(const std::string& path, const void* data, size_t size,
                         std::string* error) {
    AtomicFileWriter w(path);
    bool ok = w.Open() && w.Write(data, size) && w.Commit();
    if (!ok && error) *error = w.Error();
    return ok;
}

} // namespace platform
