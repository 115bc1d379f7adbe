#include "wine.h"

#ifdef _WIN32
#include <windows.h>
#endif

const char* wine_version() {
#ifdef _WIN32
    // Only wine's ntdll exports this.
    using version_query = const char* (*)();
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr) return nullptr;
    auto query = reinterpret_cast<version_query>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    return query != nullptr ? query() : nullptr;
#else
    return nullptr;
#endif
}
