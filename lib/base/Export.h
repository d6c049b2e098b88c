// Marks the library's exported surface: the classes and functions a host (or a tool) calls
// across the shared module's boundary. Everything else stays inside the module.
//
// GWU_BUILDING_LIBRARY is set while the library's own sources are compiled, GWU_STATIC for the
// static build and for the programs that link the static library.
#pragma once

#if defined(GWU_STATIC)
#define GWU_API
#elif defined(_WIN32) && defined(GWU_BUILDING_LIBRARY)
#define GWU_API [[gnu::dllexport]]
#elif defined(_WIN32)
#define GWU_API [[gnu::dllimport]]
#else
#define GWU_API [[gnu::visibility("default")]]
#endif
