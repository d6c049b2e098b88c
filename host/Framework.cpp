// The stand-in application framework: the registry of extension modules.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Framework.h"

namespace {

std::mutex g_mutex;
std::vector<FrameworkModule> g_modules;

}  // namespace

void FW_RegisterModule(const char* name, const char* version, bool shared) {
    const std::string moduleName = name != nullptr ? name : "";
    std::lock_guard<std::mutex> lock(g_mutex);
    auto entry =
        std::find_if(g_modules.begin(), g_modules.end(),
                     [&](const FrameworkModule& module) { return module.name == moduleName; });
    if (entry == g_modules.end()) {
        entry = g_modules.insert(g_modules.end(), FrameworkModule{moduleName, {}, false, 0});
    }
    entry->version = version != nullptr ? version : "";
    entry->shared = shared;
    ++entry->registrations;
}

std::vector<FrameworkModule> FW_RegisteredModules() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_modules;
}
