// The shared library's own code: the export, named here so that the linker
// takes it, and only what it reaches, from the internal library; and on
// Windows a DllMain that does nothing, so that loading and unloading run
// none of the filter.
#include "quenvale.h"

#if defined(_WIN32)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif

namespace {

[[gnu::used]] int32_t (*const kExport)(const char16_t*, const char16_t*) = Quenvale;

}  // namespace
