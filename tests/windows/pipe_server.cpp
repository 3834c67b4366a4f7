#include "pipe_server.h"

namespace {

constexpr DWORD kBufferSize = 65536;

// Ends a request on the server's overlapped handle. A request still pending
// after waitMs is cancelled, and its end awaited before the record goes out
// of scope.
PipeOutcome Complete(PipeServer* server, BOOL done, DWORD moved, OVERLAPPED* record, DWORD waitMs) {
    if (done)
        return {moved, 0};
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING)
        return {0, error};
    if (WaitForSingleObject(server->event, waitMs) != WAIT_OBJECT_0) {
        CancelIo(server->pipe);
        GetOverlappedResult(server->pipe, record, &moved, TRUE);
        return {moved, WAIT_TIMEOUT};
    }
    if (!GetOverlappedResult(server->pipe, record, &moved, FALSE))
        return {moved, GetLastError()};
    return {moved, 0};
}

} // namespace

void PipeName(char* name, const char* suffix) {
    wsprintfA(name, "\\\\.\\pipe\\quillport-test-%lu-%s", GetCurrentProcessId(), suffix);
}

bool CreatePipeServer(PipeServer* server, const char* suffix) {
    PipeName(server->name, suffix);
    server->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    server->pipe = CreateNamedPipeA(server->name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                    kBufferSize, kBufferSize, 0, nullptr);
    return server->event != nullptr && server->pipe != INVALID_HANDLE_VALUE;
}

bool AcceptClient(PipeServer* server) {
    ResetEvent(server->event);
    OVERLAPPED record = {};
    record.hEvent = server->event;
    if (!ConnectNamedPipe(server->pipe, &record) && GetLastError() == ERROR_PIPE_CONNECTED)
        return true;
    return Complete(server, FALSE, 0, &record, 2000).error == 0;
}

PipeOutcome ReadMessage(PipeServer* server, void* buffer, DWORD size, DWORD waitMs) {
    ResetEvent(server->event);
    OVERLAPPED record = {};
    record.hEvent = server->event;
    DWORD moved = 0;
    BOOL done = ReadFile(server->pipe, buffer, size, &moved, &record);
    return Complete(server, done, moved, &record, waitMs);
}

PipeOutcome WriteMessage(PipeServer* server, const void* data, DWORD length) {
    ResetEvent(server->event);
    OVERLAPPED record = {};
    record.hEvent = server->event;
    DWORD moved = 0;
    BOOL done = WriteFile(server->pipe, data, length, &moved, &record);
    return Complete(server, done, moved, &record, 2000);
}

void ClosePipeServer(PipeServer* server) {
    if (server->pipe != INVALID_HANDLE_VALUE)
        CloseHandle(server->pipe);
    if (server->event != nullptr)
        CloseHandle(server->event);
}
