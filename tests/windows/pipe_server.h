// The server end of a named pipe that stands in for a device: the port under
// test opens the client end by name, and the test reads what the port wrote
// and writes what the port should read.
#pragma once

#include "win32_test.h"

struct PipeServer {
    char name[96];
    HANDLE pipe;
    HANDLE event;
};

// What one server-side request gave: the bytes moved, and 0 or the error.
struct PipeOutcome {
    DWORD bytes;
    DWORD error;
};

// Writes \\.\pipe\quillport-test-<pid>-<suffix> into name (96 bytes).
void PipeName(char* name, const char* suffix);
// Creates the pipe that PipeName names: one instance, messages both ways,
// buffers large enough that the port's writes complete with no reader.
bool CreatePipeServer(PipeServer* server, const char* suffix);
// Waits for the client end to be opened.
bool AcceptClient(PipeServer* server);
// One message, into a buffer of size bytes; gives up after waitMs.
PipeOutcome ReadMessage(PipeServer* server, void* buffer, DWORD size, DWORD waitMs);
// One message of length bytes.
PipeOutcome WriteMessage(PipeServer* server, const void* data, DWORD length);
void ClosePipeServer(PipeServer* server);
