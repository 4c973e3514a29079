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

// A temporary file beside a target that becomes the target on Commit, or is removed when
// abandoned. For writers that stream their output.
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
