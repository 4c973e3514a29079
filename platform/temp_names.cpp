#include "platform/temp_names.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

struct TempState {
    std::mutex lock;
    std::string folder;
    unsigned counter = 0;
    std::vector<std::string> created;
};

TempState& State() {
    static TempState state;
    return state;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string SystemTempFolder() {
    const char* env = std::getenv("TMPDIR");
    std::string dir = (env && *env) ? env : "/tmp";
    return IsDirectory(dir) ? dir : std::string("/tmp");
}

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

} // namespace

void SetTempFolder(const std::string& folder) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().folder = folder;
}

std::string TempFolder() {
    std::lock_guard<std::mutex> guard(State().lock);
    return IsDirectory(State().folder) ? State().folder : SystemTempFolder();
}

std::string GetTempName(bool forTemporary) {
    TempState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    const std::string dir = WithSlash(IsDirectory(s.folder) ? s.folder : SystemTempFolder());
    // Bounded: a folder full of other instances' names cannot keep us here forever.
    for (int attempt = 0; attempt < 100000; ++attempt) {
        std::string path =
            dir + "QUAV" + std::to_string(s.counter) + (forTemporary ? ".TMP" : ".WAV");
        ++s.counter;
        int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            s.created.push_back(path);
            return path;
        }
        if (errno != EEXIST) return std::string();
    }
    return std::string();
}

void DeleteTempFiles() {
    TempState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    for (const std::string& path : s.created) ::unlink(path.c_str());
    s.created.clear();
}

std::vector<std::string> CreatedTempFiles() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().created;
}

unsigned TempCounter() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().counter;
}

void ResetTempNamesForTesting() {
    std::lock_guard<std::mutex> guard(State().lock);
    State().counter = 0;
    State().created.clear();
}

} // namespace platform
