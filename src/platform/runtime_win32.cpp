// The DLL's own tiny runtime: the entry routine and the global allocator.
// There is no C runtime, so nothing here may rely on static constructors.
#include "../discovery/device_id.h"
#include "memory.h"
#include "win32.h"

namespace std {
const nothrow_t nothrow{};
} // namespace std

void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
}

void operator delete(void* memory) noexcept {
    if (memory)
        HeapFree(GetProcessHeap(), 0, memory);
}

void operator delete(void* memory, size_t) noexcept {
    operator delete(memory);
}

// Succeeds for every reason; the library keeps nothing to set up or tear down
// beyond the lead-byte set of the ANSI code page in force at load.
extern "C" BOOL WINAPI DllEntry(HANDLE, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH)
        LoadLeadByteSet();
    return TRUE;
}
