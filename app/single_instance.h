// One running instance of the interactive program.
//
// The instance lock "THEONDRELLEINSTANCE" is an exclusive lock (flock) on a file in the runtime
// folder ($XDG_RUNTIME_DIR, else /tmp, with the user id in the name). The system drops the lock
// when its holder ends in any way, so a crashed instance never blocks the next start. The holder
// listens on a UNIX socket beside the lock file; a second start connects to it, hands over its
// command line and ends. The holder reads hand-overs on its own loop (Poll, or when the
// descriptor becomes readable).
//
// Wire format of a hand-over: a 32-bit little-endian count, then each argument as a 32-bit
// little-endian length and its bytes; the holder answers one byte, 1, when it took it.
//
// Used on the user-interface thread only.
#pragma once

#include <string>
#include <vector>

namespace app {

class CSingleInstance {
public:
    enum class Result {
        kFirst,      // this process holds the lock and listens
        kHandedOver, // another instance holds it and took the command line
        kRefused,    // another instance holds it and did not answer
        kLockFailed, // the lock could not be taken at all (no runtime folder, ...)
    };

    // folder: where the lock and the socket live; empty for the default (see above).
    explicit CSingleInstance(std::string folder = "");
    ~CSingleInstance();
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;

    static std::string DefaultFolder();

    // Takes the lock, or hands args to the holder (waiting at most timeoutMs for its answer).
    Result Acquire(const std::vector<std::string>& args, int timeoutMs = 3000);
    void Release();
    bool Held() const { return lockFd_ >= 0; }

    // The holder: a descriptor that becomes readable when a second start connects, and the
    // command lines handed over since the last call (non-blocking).
    int Descriptor() const { return listenFd_; }
    std::vector<std::vector<std::string>> Poll();

    std::string LockPath() const;
    std::string SocketPath() const;

private:
    bool Listen();
    bool HandOver(const std::vector<std::string>& args, int timeoutMs);

    std::string folder_;
    int lockFd_ = -1;
    int listenFd_ = -1;
};

} // namespace app
