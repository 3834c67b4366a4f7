// The Win32 calls the Windows-side test needs beyond what the library itself
// uses, declared from the documented contract. The test links them against
// its own import library (kernel32_tests.def), so every name here must also
// be listed there.
#pragma once

#include "platform/win32.h"

typedef int(WINAPI* FARPROC)(void);
typedef void* HMODULE;

#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define CREATE_ALWAYS 2u

#define PIPE_ACCESS_DUPLEX 0x00000003u
#define PIPE_TYPE_MESSAGE 0x00000004u
#define PIPE_READMODE_MESSAGE 0x00000002u
#define PIPE_WAIT 0x00000000u

#define ERROR_BROKEN_PIPE 109u
#define ERROR_PIPE_CONNECTED 535u

extern "C" {

QUILLPORT_IMPORT HMODULE WINAPI LoadLibraryA(const char* fileName);
QUILLPORT_IMPORT FARPROC WINAPI GetProcAddress(HMODULE module, const char* procName);
QUILLPORT_IMPORT BOOL WINAPI FreeLibrary(HMODULE module);

QUILLPORT_IMPORT HANDLE WINAPI GetStdHandle(DWORD which);
QUILLPORT_IMPORT void WINAPI ExitProcess(UINT exitCode);
QUILLPORT_IMPORT void WINAPI Sleep(DWORD milliseconds);
QUILLPORT_IMPORT DWORD WINAPI GetCurrentProcessId(void);
QUILLPORT_IMPORT HANDLE WINAPI GetCurrentProcess(void);
QUILLPORT_IMPORT BOOL WINAPI GetProcessHandleCount(HANDLE process, DWORD* handleCount);

QUILLPORT_IMPORT DWORD WINAPI GetTempPathA(DWORD bufferLength, char* buffer);
QUILLPORT_IMPORT BOOL WINAPI DeleteFileA(const char* fileName);

QUILLPORT_IMPORT HANDLE WINAPI CreateNamedPipeA(const char* name, DWORD openMode, DWORD pipeMode,
                                                DWORD maxInstances, DWORD outBufferSize,
                                                DWORD inBufferSize, DWORD defaultTimeOut,
                                                SECURITY_ATTRIBUTES* security);
QUILLPORT_IMPORT BOOL WINAPI ConnectNamedPipe(HANDLE pipe, OVERLAPPED* overlapped);

} // extern "C"
