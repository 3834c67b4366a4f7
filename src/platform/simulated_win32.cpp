// The scripted Win32 behind the host build; see simulated_win32.h.
#include "simulated_win32.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>

namespace {
// The library's nothrow allocations that are not yet released.
constexpr int kMaxLiveBlocks = 1024;
void* liveBlocks[kMaxLiveBlocks];
} // namespace

namespace sim {
namespace {

thread_local DWORD lastError = 0;

constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusUnsuccessful = 0xC0000001;

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

const char* NullOr(const void* pointer) {
    return pointer ? "set" : "null";
}

Call& Log(const char* name, HANDLE handle) {
    Sim().calls.push_back(Call{});
    Call& call = Sim().calls.back();
    call.name = name;
    call.handle = handle;
    return call;
}

HANDLE NewHandle(const Simulation::HandleEntry& entry) {
    HANDLE handle = reinterpret_cast<HANDLE>(Sim().nextHandle);
    Sim().nextHandle += 4;
    Sim().handles[handle] = entry;
    return handle;
}

Simulation::HandleEntry* FindHandle(HANDLE handle) {
    auto found = Sim().handles.find(handle);
    return found == Sim().handles.end() ? nullptr : &found->second;
}

Simulation::Pending* FindPending(OVERLAPPED* record) {
    for (auto& request : Sim().pending)
        if (request.record == record)
            return &request;
    return nullptr;
}

Simulation::Pending* FindPendingOn(Device* device) {
    for (auto& request : Sim().pending)
        if (request.device == device)
            return &request;
    return nullptr;
}

void SignalEvent(HANDLE event) {
    if (auto* entry = FindHandle(event))
        entry->signalled = true;
}

// Moves the bytes of a finished request between the caller's buffer and the device.
uint32_t MoveBytes(Device& device, char* buffer, uint32_t asked, uint32_t reported, bool isRead) {
    uint32_t moved = reported == kWholeRequest ? asked : reported;
    uint32_t copied = std::min(moved, asked);
    if (isRead) {
        uint32_t available = std::min<uint32_t>(copied, device.readData.size());
        std::memcpy(buffer, device.readData.data(), available);
        std::memset(buffer + available, 0, copied - available);
        device.readData.erase(0, available);
    } else {
        device.written.append(buffer, copied);
    }
    return moved;
}

void Finish(Simulation::Pending& request, uint32_t reported, ULONG_PTR status) {
    request.moved =
        MoveBytes(*request.device, request.buffer, request.asked, reported, request.isRead);
    request.done = true;
    request.failed = status != kStatusSuccess;
    request.record->Internal = status;
    request.record->InternalHigh = request.moved;
    SignalEvent(request.record->hEvent);
}

BOOL StartRequest(const char* name, HANDLE file, char* buffer, DWORD size, DWORD* moved,
                  OVERLAPPED* record, bool isRead) {
    Call& call = Log(name, file);
    call.size = size;
    call.buffer = buffer;
    if (record)
        call.detail = "event=" + Hex(uint32_t(reinterpret_cast<uintptr_t>(record->hEvent)));
    auto* entry = FindHandle(file);
    if (!entry || !entry->device) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    Device& device = *entry->device;
    if (FindPendingOn(&device))
        Sim().faults.push_back(std::string(name) + " while a request is still in flight");
    auto& replies = isRead ? device.readReplies : device.writeReplies;
    RequestReply reply;
    if (!replies.empty()) {
        reply = replies.front();
        replies.pop_front();
    }
    if (moved)
        *moved = 0;
    if (reply.outcome == Outcome::Fail) {
        lastError = reply.error;
        return FALSE;
    }
    if (reply.outcome == Outcome::Complete) {
        uint32_t count = MoveBytes(device, buffer, size, reply.bytes, isRead);
        if (moved)
            *moved = count;
        if (record) {
            record->Internal = kStatusSuccess;
            record->InternalHigh = count;
            SignalEvent(record->hEvent);
        }
        return TRUE;
    }
    Simulation::Pending request;
    request.device = &device;
    request.record = record;
    request.buffer = buffer;
    request.asked = size;
    request.isRead = isRead;
    request.reply = reply;
    record->Internal = kStatusPending;
    Sim().pending.push_back(request);
    lastError = ERROR_IO_PENDING;
    return FALSE;
}

// Lets `milliseconds` pass for every request in flight, finishing those that are due.
void LetTimePass(uint32_t milliseconds) {
    for (auto& request : Sim().pending) {
        if (request.done || request.reply.delay == kNever)
            continue;
        if (request.reply.delay <= milliseconds) {
            request.reply.delay = 0;
            Finish(request, request.reply.bytes,
                   request.reply.completesWithError ? kStatusUnsuccessful : kStatusSuccess);
        } else {
            request.reply.delay -= milliseconds;
        }
    }
    Sim().tick += milliseconds;
}

} // namespace

Simulation& Sim() {
    // Never destroyed: operator delete consults it until the process ends.
    static Simulation* simulation = new Simulation;
    return *simulation;
}

void Simulation::Reset() {
    Simulation fresh;
    fresh.allocationSizes.reserve(64);
    *this = std::move(fresh);
    lastError = 0;
    std::fill(std::begin(liveBlocks), std::end(liveBlocks), nullptr);
}

Device& Simulation::AddDevice(const std::string& name) {
    devices.push_back(Device{});
    devices.back().name = name;
    return devices.back();
}

Device* Simulation::FindDevice(const std::string& name) {
    for (auto& device : devices)
        if (strcasecmp(device.name.c_str(), name.c_str()) == 0)
            return &device;
    return nullptr;
}

std::vector<Call> Simulation::CallsNamed(const std::string& name) const {
    std::vector<Call> found;
    for (const auto& call : calls)
        if (call.name == name)
            found.push_back(call);
    return found;
}

std::vector<std::string> Simulation::CallNames() const {
    std::vector<std::string> names;
    for (const auto& call : calls)
        names.push_back(call.name);
    return names;
}

bool Simulation::HasPendingRequest() const {
    for (const auto& request : pending)
        if (!request.done)
            return true;
    return false;
}

} // namespace sim

using sim::Sim;

extern "C" {

HANDLE WINAPI CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                          SECURITY_ATTRIBUTES* security, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile) {
    sim::Call& call = sim::Log("CreateFileA", nullptr);
    call.text = fileName;
    call.value = flagsAndAttributes;
    call.detail = "access=" + sim::Hex(desiredAccess) + " share=" + sim::Hex(shareMode) +
                  " security=" + sim::NullOr(security) +
                  " disposition=" + sim::Hex(creationDisposition) +
                  " template=" + sim::NullOr(templateFile);
    sim::Device* device = Sim().FindDevice(fileName);
    if (!device) {
        sim::lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (device->openHandle) { // every open in this library asks for no sharing
        sim::lastError = ERROR_SHARING_VIOLATION;
        return INVALID_HANDLE_VALUE;
    }
    sim::Simulation::HandleEntry entry;
    entry.device = device;
    entry.overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    device->openHandle = sim::NewHandle(entry);
    Sim().calls.back().handle = device->openHandle;
    return device->openHandle;
}

BOOL WINAPI CloseHandle(HANDLE object) {
    sim::Log("CloseHandle", object);
    auto* entry = sim::FindHandle(object);
    if (!entry) {
        Sim().faults.push_back("CloseHandle on a handle that is not open");
        sim::lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    bool fails = entry->device ? entry->device->closeFails : Sim().eventCloseFails;
    if (fails) {
        sim::lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (entry->device) {
        if (sim::FindPendingOn(entry->device))
            Sim().faults.push_back("device closed with a request in flight");
        entry->device->openHandle = nullptr;
    }
    Sim().handles.erase(object);
    return TRUE;
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize,
                            void* outBuffer, DWORD outSize, DWORD* bytesReturned,
                            OVERLAPPED* overlapped) {
    sim::Call& call = sim::Log("DeviceIoControl", device);
    call.value = controlCode;
    call.size = outSize;
    call.buffer = outBuffer;
    call.detail = std::string("in=") + sim::NullOr(inBuffer) + "/" + std::to_string(inSize) +
                  " overlapped=" + sim::NullOr(overlapped);
    auto* entry = sim::FindHandle(device);
    if (!entry || !entry->device) {
        sim::lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    auto reply = entry->device->ioctls.find(controlCode);
    if (reply == entry->device->ioctls.end() || !reply->second.succeeds) {
        sim::lastError = 1; // ERROR_INVALID_FUNCTION
        return FALSE;
    }
    size_t copied = std::min<size_t>(reply->second.data.size(), outSize);
    if (copied)
        std::memcpy(outBuffer, reply->second.data.data(), copied);
    if (bytesReturned)
        *bytesReturned =
            reply->second.reportedCount < 0 ? DWORD(copied) : DWORD(reply->second.reportedCount);
    return TRUE;
}

HANDLE WINAPI CreateEventA(SECURITY_ATTRIBUTES* security, BOOL manualReset, BOOL initialState,
                           const char* name) {
    sim::Call& call = sim::Log("CreateEventA", nullptr);
    call.text = std::string("security=") + sim::NullOr(security) +
                " manual=" + std::to_string(manualReset) +
                " initial=" + std::to_string(initialState) + " name=" + sim::NullOr(name);
    if (Sim().createEventFails)
        return nullptr;
    sim::Simulation::HandleEntry entry;
    entry.signalled = initialState != FALSE;
    call.handle = sim::NewHandle(entry);
    return call.handle;
}

BOOL WINAPI ResetEvent(HANDLE event) {
    sim::Log("ResetEvent", event);
    auto* entry = sim::FindHandle(event);
    if (!entry || entry->device)
        return FALSE;
    entry->signalled = false;
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
                     OVERLAPPED* overlapped) {
    return sim::StartRequest("ReadFile", file, static_cast<char*>(buffer), bytesToRead, bytesRead,
                             overlapped, true);
}

BOOL WINAPI WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                      OVERLAPPED* overlapped) {
    return sim::StartRequest("WriteFile", file, static_cast<char*>(const_cast<void*>(buffer)),
                             bytesToWrite, bytesWritten, overlapped, false);
}

DWORD WINAPI GetLastError(void) {
    return sim::lastError;
}

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    sim::Call& call = sim::Log("WaitForSingleObject", object);
    call.value = milliseconds;
    auto* entry = sim::FindHandle(object);
    if (Sim().waitFails || !entry)
        return WAIT_FAILED;
    if (entry->signalled)
        return WAIT_OBJECT_0;
    for (auto& request : Sim().pending)
        if (!request.done && request.record->hEvent == object &&
            request.reply.delay != sim::kNever && request.reply.delay <= milliseconds) {
            sim::LetTimePass(request.reply.delay);
            return WAIT_OBJECT_0;
        }
    if (milliseconds == INFINITE) {
        Sim().faults.push_back("infinite wait on an event that nothing will signal");
        return WAIT_FAILED;
    }
    sim::LetTimePass(milliseconds);
    return WAIT_TIMEOUT;
}

BOOL WINAPI GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred,
                                BOOL wait) {
    sim::Call& call = sim::Log("GetOverlappedResult", file);
    call.value = wait;
    sim::Simulation::Pending* request = sim::FindPending(overlapped);
    if (!request) { // finished at once: the record holds the outcome
        *bytesTransferred = DWORD(overlapped->InternalHigh);
        return overlapped->Internal == sim::kStatusSuccess;
    }
    if (!request->done) {
        if (!wait) {
            *bytesTransferred = 0;
            sim::lastError = 996; // ERROR_IO_INCOMPLETE
            return FALSE;
        }
        if (request->reply.delay == sim::kNever) {
            Sim().faults.push_back("waited for a request that never ends");
            *bytesTransferred = 0;
            return FALSE;
        }
        sim::LetTimePass(request->reply.delay);
    }
    *bytesTransferred = request->moved;
    bool failed = request->failed;
    Sim().pending.erase(Sim().pending.begin() + (request - Sim().pending.data()));
    if (failed)
        sim::lastError = ERROR_OPERATION_ABORTED;
    return !failed;
}

BOOL WINAPI CancelIo(HANDLE file) {
    sim::Log("CancelIo", file);
    auto* entry = sim::FindHandle(file);
    if (!entry || !entry->device)
        return FALSE;
    for (auto& request : Sim().pending)
        if (request.device == entry->device && !request.done)
            sim::Finish(request, request.reply.bytesOnCancel, sim::kStatusCancelled);
    return TRUE;
}

DWORD WINAPI GetTickCount(void) {
    sim::Log("GetTickCount", nullptr).value = Sim().tick;
    return Sim().tick;
}

char* WINAPI lstrcpynA(char* destination, const char* source, int maxLength) {
    if (maxLength <= 0)
        return destination;
    int copied = 0;
    while (copied < maxLength - 1 && source[copied] != '\0') {
        destination[copied] = source[copied];
        ++copied;
    }
    destination[copied] = '\0';
    return destination;
}

UINT WINAPI GetACP(void) {
    return Sim().codePage;
}

BOOL WINAPI GetCPInfo(UINT codePage, CPINFO* info) {
    std::memset(info, 0, sizeof *info);
    info->MaxCharSize = Sim().leadByteRanges.empty() ? 1 : 2;
    info->DefaultChar[0] = '?';
    size_t slot = 0;
    for (const auto& range : Sim().leadByteRanges) {
        if (slot + 2 >= MAX_LEADBYTES)
            break;
        info->LeadByte[slot++] = range.first;
        info->LeadByte[slot++] = range.second;
    }
    return codePage == Sim().codePage;
}

int WINAPIV wsprintfA(char* buffer, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int written = std::vsnprintf(buffer, 1025, format, arguments); // wsprintfA's own limit
    va_end(arguments);
    return written;
}

} // extern "C"

// The library allocates only through the nothrow forms; tests can make them
// fail and can see what is still allocated. Other code (the tests themselves)
// keeps the ordinary allocator, which frees with free() as these do.
namespace {
void* AllocateTracked(size_t size) {
    sim::Simulation& simulation = Sim();
    simulation.allocationSizes.push_back(size);
    if (simulation.failNextAllocations > 0) {
        --simulation.failNextAllocations;
        return nullptr;
    }
    if (size > simulation.allocationLimit)
        return nullptr;
    void* memory = std::malloc(size ? size : 1);
    if (memory && simulation.scribbleAllocations)
        std::memset(memory, sim::kScribble, size);
    for (auto& slot : liveBlocks)
        if (!slot) {
            slot = memory;
            break;
        }
    return memory;
}

void ReleaseTracked(void* memory) {
    if (!memory)
        return;
    for (auto& slot : liveBlocks)
        if (slot == memory) {
            slot = nullptr;
            break;
        }
    std::free(memory);
}
} // namespace

int sim::Simulation::LiveAllocationCount() const {
    return static_cast<int>(
        std::count_if(std::begin(liveBlocks), std::end(liveBlocks), [](void* p) { return p; }));
}

void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return AllocateTracked(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return AllocateTracked(size);
}
// The throwing forms take plain malloc() too, so that every block freed above
// came from malloc(); a sanitizer's own operator new would otherwise be paired
// with free() and reported as a mismatch.
void* operator new(size_t size) {
    void* memory = std::malloc(size ? size : 1);
    if (!memory)
        throw std::bad_alloc();
    return memory;
}
void* operator new[](size_t size) {
    return operator new(size);
}
void operator delete(void* memory) noexcept {
    ReleaseTracked(memory);
}
void operator delete(void* memory, size_t) noexcept {
    ReleaseTracked(memory);
}
void operator delete[](void* memory) noexcept {
    ReleaseTracked(memory);
}
void operator delete[](void* memory, size_t) noexcept {
    ReleaseTracked(memory);
}
