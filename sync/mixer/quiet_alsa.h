// Keeps the ALSA library from writing its diagnostics to the standard error stream while devices
// are probed or opened (a machine without sound cards would print dozens of lines). Not real-time.
#pragma once

#include <alsa/asoundlib.h>

namespace dsync::mixer::detail {

inline void QuietAlsaHandler(const char*, int, const char*, int, const char*, ...) {}

class QuietAlsa {
public:
    QuietAlsa() { snd_lib_error_set_handler(&QuietAlsaHandler); }
    ~QuietAlsa() { snd_lib_error_set_handler(nullptr); }
    QuietAlsa(const QuietAlsa&) = delete;
    QuietAlsa& operator=(const QuietAlsa&) = delete;
};

} // namespace dsync::mixer::detail
