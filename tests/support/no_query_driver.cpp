// A library named nvapi.dll that loads fine but does not export the driver's
// query-interface entry: the client must refuse to bind it and release it.
#include <windows.h>

extern "C" __declspec(dllexport) int nvapi_Unrelated() {
    return 0;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
