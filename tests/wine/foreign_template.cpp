// A module of the editor's that carries a settings template of its own
// (foreign_template.rc); it has no code to speak of.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, void*) { return TRUE; }
