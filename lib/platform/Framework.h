// The host's application framework as an extension module meets it: the registry of the
// extension modules loaded into the process.
#pragma once

#include <vector>

#include "gatewayutils/platform/Types.h"

// One registered extension module.
struct GWU_HOST_TYPE FrameworkModule {
    CString name;
    CString version;
    bool shared = false;    // loaded as a shared module, not linked into the program
    int registrations = 0;  // how often it registered: once per load
};

// Registers an extension module; a module registers itself when it is loaded, from any thread.
// A name is registered once: a module that registers again (loaded anew after an unload) keeps
// its entry, which takes the version and the flag given and counts the registration. The
// framework copies the texts. Throws std::bad_alloc when it cannot record the entry.
void FW_RegisterModule(const char* name, const char* version, bool shared);

// The registered modules in the order of their first registration.
std::vector<FrameworkModule> FW_RegisteredModules();
