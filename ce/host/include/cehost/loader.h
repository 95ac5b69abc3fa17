// Host-side controls of the emulated loader: in-process libraries, the search
// path for real shared objects, and the procedures of "coredll" that a test
// may hide to exercise a driver's fallbacks.
//
// Every function may be called from any thread; registrations made while a
// library of that name is loaded take effect at its next first load.
#pragma once

#include <string>
#include <vector>

#include "ce/loader.h"

namespace cehost {

// One exported procedure of an in-process library. Built from a name and any
// function pointer: {"COM_Init", &MyInit}.
struct LibraryProc {
    std::string name;
    void* address = nullptr;

    template <class F>
    LibraryProc(const char* procName, F* fn)
        : name(procName), address(reinterpret_cast<void*>(fn)) {}
};

// Makes LoadLibraryW(name) resolve to this table instead of a shared object.
// The name is matched without regard to case; "stub" and "stub.dll" are the
// same library. dllMain, when given, is called as the library's load handler.
void RegisterLibrary(const std::string& name, const std::vector<LibraryProc>& procs,
                     PFN_DLLMAIN dllMain = nullptr);
void UnregisterLibrary(const std::string& name);

// Directories searched for "lib<name>.so" before the executable's own
// directory, separated by ':'. Empty: the SERLYNX_LIBRARY_PATH environment
// variable is used instead.
void SetLibraryPath(const std::string& dirs);

// GetProcAddressW(coredll, name) returns NULL for a hidden procedure until
// ResetPlatform (or RestoreCoredllProcs).
void HideCoredllProc(const std::string& name);
void RestoreCoredllProcs();

// Number of loads currently held on a library (0: not loaded).
int LibraryRefCount(const std::string& name);
// How many times DisableThreadLibraryCalls succeeded for a library of this
// name (it stays readable after the library is unloaded), and for all
// libraries. Both reset by ResetPlatform.
int ThreadLibraryCallsDisabled(const std::string& name);
int DisableThreadLibraryCallsTotal();

}  // namespace cehost
