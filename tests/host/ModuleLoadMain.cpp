// Loads the shared library at run time, as the host loads its extension modules: the library
// registers itself with the application framework once per load and keeps one entry when it is
// unloaded and loaded again; its version answers through the unmangled entry point, and only
// the marked surface is exported. Argument: the shared library's file.
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "platform/Framework.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++g_failures;
    }
}

#ifdef _WIN32
using Module = HMODULE;
Module Load(const char* path) {
    return LoadLibraryA(path);
}
void* Symbol(Module module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(module, name));
}
bool Unload(Module module, const char* path) {
    return FreeLibrary(module) != 0 && GetModuleHandleA(path) == nullptr;
}
#else
using Module = void*;
Module Load(const char* path) {
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}
void* Symbol(Module module, const char* name) {
    return dlsym(module, name);
}
bool Unload(Module module, const char* path) {
    return dlclose(module) == 0 && dlopen(path, RTLD_NOW | RTLD_NOLOAD) == nullptr;
}
#endif

// The library's one entry, after `loads` loads of the module.
void CheckRegistered(int loads) {
    int entries = 0;
    for (const FrameworkModule& module : FW_RegisteredModules()) {
        if (module.name == "gatewayutils") {
            ++entries;
            Check(module.version == GWU_VERSION && module.shared, "version and shared flag");
            Check(module.registrations == loads, "one registration per load");
        }
    }
    Check(entries == 1, "one entry in the module registry");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SHARED_LIBRARY\n", argv[0]);
        return 2;
    }
    Check(FW_RegisteredModules().empty(), "nothing registered before the load");
    for (int load = 1; load <= 2; ++load) {
        const Module module = Load(argv[1]);
        if (module == nullptr) {
            std::fprintf(stderr, "FAILED: cannot load %s\n", argv[1]);
            return 1;
        }
        CheckRegistered(load);
        using VersionFunction = const char* (*)();
        const auto version =
            reinterpret_cast<VersionFunction>(Symbol(module, "gwu_library_version"));
        Check(version != nullptr && std::string(version()) == GWU_VERSION, "version entry point");
        Check(Symbol(module, "_ZN3gwu14LibraryVersionEv") != nullptr, "exported: LibraryVersion");
        Check(Symbol(module,
                     "_ZN3gwu17CompareReleaseIdsESt17basic_string_viewIcSt11char_"
                     "traitsIcEES3_") == nullptr,
              "hidden: CompareReleaseIds");
        Check(Unload(module, argv[1]), "unloaded");
    }
    std::printf("module load: %s\n", g_failures == 0 ? "passed" : "FAILED");
    return g_failures == 0 ? 0 : 1;
}
