// Whole-file reads and crash-safe writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Reads a whole regular file; false with *error set when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out,
                   std::string* error = nullptr);

// Writes data to a temporary file beside path, flushes it and renames it over path, so the old
// file survives any failure. False with *error set when anything fails; the temporary is removed.
bool WriteFileAtomically(const std::string& path, const void* data, size_t size,
                         std::string* error = nullptr);

// Temporary output files being written, removed should the process be stopped by SIGINT or
// SIGTERM before they are renamed into place. Registering, forgetting and the removal allocate
// nothing and take no lock (any thread; the removal runs in the signal handler). At most
// kMaxPendingTemporaries at once, of paths shorter than kMaxPendingPath; false when the path
// cannot be kept (the file is then only removed by its writer).
constexpr size_t kMaxPendingTemporaries = 32;
constexpr size_t kMaxPendingPath = 1024;
bool RegisterPendingTemporary(const std::string& path);
void ForgetPendingTemporary(const std::string& path);
// Installs handlers of SIGINT and SIGTERM that remove the pending temporaries and then end the
// process as the signal does by default. For the batch commands and the desktop program; a
// command that handles the signals itself installs its own handlers over these for its time.
void RemoveTemporariesWhenStopped();

// A temporary file beside a target that becomes the target on Commit, or is removed when
// abandoned (or when the process is stopped: it is a pending temporary while open). For writers
// that stream their output.
class AtomicFileWriter {
public:
    explicit AtomicFileWriter(std::string target);
    ~AtomicFileWriter(); // removes the temporary unless committed
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    // Creates the temporary file; false with error() set when it cannot be created.
    bool Open();
    const std::string& TempPath() const { return temp_; }
    int Fd() const { return fd_; }
    bool Write(const void* data, size_t size);
    // Flushes, closes and renames the temporary over the target.
    bool Commit();
    const std::string& Error() const { return error_; }

private:
    std::string target_;
    std::string temp_;
    std::string error_;
    int fd_ = -1;
    bool committed_ = false;
};

} // namespace platform
