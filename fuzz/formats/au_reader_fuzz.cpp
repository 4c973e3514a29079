// The AU reader and its decoders; every input is made to begin with the AU magic.
#include "reader_fuzz_common.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> file(size + 4);
    std::memcpy(file.data(), ".snd", 4);
    if (size) std::memcpy(file.data() + 4, data, size);
    FuzzReader(file.data(), file.size());
    return 0;
}
