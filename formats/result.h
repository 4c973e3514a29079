// The outcome of a file-format operation: a code and a message.
//
// Nothing in formats/ shows a message box or writes to the standard error stream. An operation
// that can fail returns a Result, and its caller (a document, the command line) turns it into
// what the user sees. The message says in one line what went wrong; a sound reader's is the very
// text the system writes on the standard error stream for it (newline included), and it is empty
// when the code says everything.
//
// Readers also describe what they read on the way (the container, the encoding, text chunks,
// chunks they skip, damage they read past). They hand those lines back as Notes, in the order they
// arose and exactly as the system words them, for the caller to pass on (documents give them to
// the user-messages sink as notes).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace formats {

enum class Code : uint8_t {
    Ok,
    CannotOpen,    // the file cannot be opened for reading, or created for writing
    CannotReopen,  // an open file state could not open its file again
    NotRecognized, // not a file of the kind asked for
    Malformed,     // the bytes break the format's rules
    Unsupported,   // well formed, in an encoding or layout this program does not read
    ReadFailed,    // the system failed a read
    WriteFailed,   // writing or replacing the file failed (the target is as it was)
    Refused,       // the caller asked for what the format or the store cannot hold
};

// "ok", "cannot-open", ... (for logs and tests).
const char* CodeName(Code code);

class Result {
public:
    // Success.
    Result() = default;
    Result(Code code, std::string message) : code_(code), message_(std::move(message)) {}
    static Result Success() { return Result(); }

    bool Ok() const { return code_ == Code::Ok; }
    explicit operator bool() const { return Ok(); }
    Code GetCode() const { return code_; }
    const std::string& Message() const { return message_; }

private:
    Code code_ = Code::Ok;
    std::string message_;
};

using Notes = std::vector<std::string>;

} // namespace formats
