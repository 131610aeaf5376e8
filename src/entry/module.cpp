// The shared library's own code: on Windows a DllMain that does nothing, so
// that loading and unloading run none of the filter.
#if defined(_WIN32)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
