// The chunk walker (WAVE and AIFF/AIFF-C) and the decoders behind it.
#include "reader_fuzz_common.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Only chunked files: AU input belongs to its own target.
    if (size >= 4 && std::memcmp(data, ".snd", 4) == 0) return 0;
    FuzzReader(data, size);
    return 0;
}
