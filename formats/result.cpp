#include "formats/result.h"

namespace formats {

const char* CodeName(Code code) {
    switch (code) {
    case Code::Ok:
        return "ok";
    case Code::CannotOpen:
        return "cannot-open";
    case Code::CannotReopen:
        return "cannot-reopen";
    case Code::NotRecognized:
        return "not-recognized";
    case Code::Malformed:
        return "malformed";
    case Code::Unsupported:
        return "unsupported";
    case Code::ReadFailed:
        return "read-failed";
    case Code::WriteFailed:
        return "write-failed";
    case Code::Refused:
        return "refused";
    }
    return "?";
}

} // namespace formats
