// Shared objects loaded at run time (effect libraries).
//
// Only absolute paths are opened: a bare name would send the loader through its search path
// and a relative one through the current folder, and a library is code the program runs, so the
// caller must say exactly which file it means. Libraries stay loaded until the program ends
// unless the caller closes them. Used on the user-interface thread.
#pragma once

#include <string>

namespace platform {

// Opens the shared object at `path` (resolving all its symbols at once, keeping them local to
// it). Null with *error set when the path is not absolute, names no file, or is not a library
// the loader accepts (the loader's own words).
void* OpenDynamicLibrary(const std::string& path, std::string* error = nullptr);
// The address of an exported symbol, or null when the library has none of that name.
void* FindLibrarySymbol(void* handle, const char* name);
// Unloads a library opened above (tests; null is ignored).
void CloseDynamicLibrary(void* handle);

} // namespace platform
