#include "platform/dynamic_library.h"

#include <dlfcn.h>
#include <sys/stat.h>

namespace platform {

void* OpenDynamicLibrary(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) -> void* {
        if (error) *error = why;
        return nullptr;
    };
    if (path.empty() || path[0] != '/') return fail("not an absolute path");
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return fail("no such file");
    if (!S_ISREG(st.st_mode)) return fail("not a regular file");
    ::dlerror();
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        return fail(why ? why : "not a library");
    }
    return handle;
}

void* FindLibrarySymbol(void* handle, const char* name) {
    if (!handle || !name) return nullptr;
    ::dlerror();
    return ::dlsym(handle, name);
}

void CloseDynamicLibrary(void* handle) {
    if (handle) ::dlclose(handle);
}

} // namespace platform
