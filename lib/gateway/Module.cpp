// The shared module's load: it registers itself with the host's application framework, once
// per load, before the host can call into it. Built into the shared library only: a program
// that links the library statically has no module of it to register.
//
// The library-wide texts ("Unknown", "NotConnected", the keyboard's measuring text, the path
// separator) are compile-time constants, in place as soon as the module is mapped: no code runs
// to build them, so none can fail or run in the wrong order at load.
#include "base/Version.h"
#include "platform/Framework.h"

namespace {

constexpr const char* kModuleName = "gatewayutils";

class ModuleRegistration {
public:
    ModuleRegistration() noexcept {
        try {
            FW_RegisterModule(kModuleName, gwu::LibraryVersion(), true);
        } catch (...) {
            // Nothing may leave the loader: unregistered, the module works all the same, and
            // the host's module list shows it missing.
        }
    }
};

const ModuleRegistration g_registration;

}  // namespace
