// The Win32 subset that quillport uses, declared from the documented contract.
//
// The DLL build links these against KERNEL32.dll and USER32.dll; the host build
// links them against the scripted simulation in simulated_win32.cpp. Library
// code calls them by their Win32 names and knows nothing of which one it gets.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define WINAPI __stdcall
#define WINAPIV __cdecl
#define QUILLPORT_IMPORT __declspec(dllimport)
#else
#define WINAPI
#define WINAPIV
#define QUILLPORT_IMPORT
#endif

// DWORD is unsigned long on Windows, as hosts know it; the host build runs on
// LP64, where long is 64 bits, so there it is a plain 32-bit unsigned.
#if defined(_WIN32)
typedef unsigned long DWORD;
#else
typedef uint32_t DWORD;
#endif
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint32_t UINT;
typedef void* HANDLE;
typedef uintptr_t ULONG_PTR;

#define TRUE 1
#define FALSE 0

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_PENDING 997u

#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define INFINITE 0xFFFFFFFFu

#define MAX_LEADBYTES 12
#define MAX_DEFAULTCHAR 2

#define DLL_PROCESS_DETACH 0u
#define DLL_PROCESS_ATTACH 1u

struct SECURITY_ATTRIBUTES;

// The request record of an overlapped read or write. Its layout is the
// system's; only hEvent is ever set by the library.
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED;

typedef struct _cpinfo {
    UINT MaxCharSize;
    BYTE DefaultChar[MAX_DEFAULTCHAR];
    BYTE LeadByte[MAX_LEADBYTES];
} CPINFO;

extern "C" {

// KERNEL32
QUILLPORT_IMPORT HANDLE WINAPI CreateFileA(const char* fileName, DWORD desiredAccess,
                                           DWORD shareMode, SECURITY_ATTRIBUTES* security,
                                           DWORD creationDisposition, DWORD flagsAndAttributes,
                                           HANDLE templateFile);
QUILLPORT_IMPORT BOOL WINAPI CloseHandle(HANDLE object);
QUILLPORT_IMPORT BOOL WINAPI DeviceIoControl(HANDLE device, DWORD controlCode, void* inBuffer,
                                             DWORD inSize, void* outBuffer, DWORD outSize,
                                             DWORD* bytesReturned, OVERLAPPED* overlapped);
QUILLPORT_IMPORT HANDLE WINAPI CreateEventA(SECURITY_ATTRIBUTES* security, BOOL manualReset,
                                            BOOL initialState, const char* name);
QUILLPORT_IMPORT BOOL WINAPI ResetEvent(HANDLE event);
QUILLPORT_IMPORT BOOL WINAPI ReadFile(HANDLE file, void* buffer, DWORD bytesToRead,
                                      DWORD* bytesRead, OVERLAPPED* overlapped);
QUILLPORT_IMPORT BOOL WINAPI WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite,
                                       DWORD* bytesWritten, OVERLAPPED* overlapped);
QUILLPORT_IMPORT DWORD WINAPI GetLastError(void);
QUILLPORT_IMPORT DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);
QUILLPORT_IMPORT BOOL WINAPI GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped,
                                                 DWORD* bytesTransferred, BOOL wait);
QUILLPORT_IMPORT BOOL WINAPI CancelIo(HANDLE file);
QUILLPORT_IMPORT DWORD WINAPI GetTickCount(void);
QUILLPORT_IMPORT char* WINAPI lstrcpynA(char* destination, const char* source, int maxLength);
QUILLPORT_IMPORT UINT WINAPI GetACP(void);
QUILLPORT_IMPORT BOOL WINAPI GetCPInfo(UINT codePage, CPINFO* info);

// The runtime's heap, for operator new and delete in the DLL build.
QUILLPORT_IMPORT HANDLE WINAPI GetProcessHeap(void);
QUILLPORT_IMPORT void* WINAPI HeapAlloc(HANDLE heap, DWORD flags, size_t bytes);
QUILLPORT_IMPORT BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, void* memory);

// USER32
QUILLPORT_IMPORT int WINAPIV wsprintfA(char* buffer, const char* format, ...);

} // extern "C"
