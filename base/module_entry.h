#pragma once
// The one symbol a database module shows the program that loads it; the
// rest stays inside (a Windows DLL exports only what is marked).
#ifdef _WIN32
#define J4_MODULE_ENTRY extern "C" __declspec(dllexport)
#else
#define J4_MODULE_ENTRY extern "C" __attribute__((visibility("default")))
#endif
