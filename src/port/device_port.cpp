// DevicePort: one device, moved in overlapped requests of at most chunkSize
// bytes, each call under a single time limit.
#include "quillport.h"

#include "../platform/memory.h"
#include "../platform/win32.h"

namespace {

constexpr DWORD kChunkSize = 4096;

// WriteFile takes its buffer as const; Transfer hands both directions the same shape.
BOOL WINAPI WriteRequest(HANDLE device, void* position, DWORD chunk, DWORD* moved,
                         OVERLAPPED* record) {
    return WriteFile(device, position, chunk, moved, record);
}

// The milliseconds left of the call's limit. Elapsed time is measured from
// the call's first tick in wrapping arithmetic, so neither a tick count that
// wraps during the call nor a limit that reaches past 2^32 shortens the wait.
DWORD RemainingWait(DWORD startTick, DWORD timeout) {
    DWORD elapsed = GetTickCount() - startTick;
    return elapsed < timeout ? timeout - elapsed : 0;
}

// Waits for a request that is under way. When the limit runs out or the wait
// fails, the request is cancelled and its end awaited, so that the system no
// longer touches the record or the caller's buffer once the call returns.
// Either way `moved` receives what the request moved.
bool AwaitRequest(HANDLE device, HANDLE event, OVERLAPPED* record, DWORD startTick, DWORD timeout,
                  DWORD* moved) {
    if (WaitForSingleObject(event, RemainingWait(startTick, timeout)) == WAIT_OBJECT_0) {
        GetOverlappedResult(device, record, moved, FALSE);
        return true;
    }
    CancelIo(device);
    GetOverlappedResult(device, record, moved, TRUE);
    return false;
}

} // namespace

DevicePort::DevicePort(const char* name, DWORD chunk)
    : chunkSize(chunk), completionEvent(nullptr), deviceHandle(nullptr) {
    lstrcpynA(deviceName, name, sizeof deviceName);
}

DevicePort::~DevicePort() {
    Close();
}

int DevicePort::Open() {
    if (completionEvent == nullptr) {
        completionEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (completionEvent == nullptr)
            return 0;
    }
    if (deviceHandle != nullptr)
        return 1;
    HANDLE device = CreateFileA(deviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return 0;
    deviceHandle = device;
    return 1;
}

int DevicePort::Read(void* buffer, DWORD length, DWORD* transferred, DWORD timeout) {
    return Transfer(ReadFile, buffer, length, transferred, timeout);
}

int DevicePort::Write(const void* buffer, DWORD length, DWORD* transferred, DWORD timeout) {
    return Transfer(WriteRequest, const_cast<void*>(buffer), length, transferred, timeout);
}

int DevicePort::Transfer(Request request, void* buffer, DWORD length, DWORD* transferred,
                         DWORD timeout) {
    if (transferred == nullptr)
        return 0;
    *transferred = 0;
    if (deviceHandle == nullptr)
        return 0;
    const DWORD startTick = GetTickCount();
    char* position = static_cast<char*>(buffer);
    DWORD remaining = length;
    while (remaining != 0) {
        ResetEvent(completionEvent);
        OVERLAPPED record = {};
        record.hEvent = completionEvent;
        DWORD chunk = remaining < chunkSize ? remaining : chunkSize;
        DWORD moved = 0;
        if (!request(deviceHandle, position, chunk, &moved, &record)) {
            if (GetLastError() != ERROR_IO_PENDING)
                return 0;
            if (!AwaitRequest(deviceHandle, completionEvent, &record, startTick, timeout, &moved)) {
                *transferred += moved <= chunk ? moved : 0;
                return 0;
            }
        }
        // A zero-byte completion would ask for the same bytes forever, and a
        // count beyond the chunk would run past the caller's buffer.
        if (moved == 0 || moved > chunk)
            return 0;
        *transferred += moved;
        position += moved;
        remaining -= moved;
    }
    return 1;
}

int DevicePort::Close() {
    int result = 1;
    if (deviceHandle != nullptr) {
        if (CloseHandle(deviceHandle))
            deviceHandle = nullptr;
        else
            result = 0;
    }
    if (completionEvent != nullptr) {
        if (!CloseHandle(completionEvent))
            return 0;
        completionEvent = nullptr;
    }
    return result;
}

extern "C" DevicePort* QUILLPORT_CALL CreatePort(const char* deviceName) {
    if (deviceName == nullptr)
        return nullptr;
    return new (std::nothrow) DevicePort(deviceName, kChunkSize);
}
