// A scripted Win32 for the host build.
//
// Tests name the devices that exist, script how each answers reads, writes
// and device-control requests, set the tick count, and inject failures. Every
// call the library makes is logged, so a test can check the exact sequence.
// Time passes only when a test moves `tick` or when the library waits.
#pragma once

#include "win32.h"

#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace sim {

constexpr uint32_t kWholeRequest = 0xFFFFFFFFu; // RequestReply::bytes: all that was asked
constexpr uint32_t kNever = 0xFFFFFFFFu;        // RequestReply::delay: only a cancel ends it
constexpr char kScribble = '\xA5';              // Simulation::scribbleAllocations: the fill byte

enum class Outcome { Complete, Pend, Fail };

// How the device answers one ReadFile or WriteFile request.
struct RequestReply {
    Outcome outcome = Outcome::Complete;
    uint32_t bytes = kWholeRequest;  // bytes moved when the request completes
    uint32_t error = 31;             // Fail: the last error (ERROR_GEN_FAILURE)
    uint32_t delay = 0;              // Pend: milliseconds until it completes, or kNever
    uint32_t bytesOnCancel = 0;      // Pend: bytes moved by the time a cancel lands
    bool completesWithError = false; // Pend: GetOverlappedResult reports failure
};

// How the device answers one device-control code.
struct IoctlReply {
    bool succeeds = true;
    std::string data;           // copied to the output, cut to the length offered
    int64_t reportedCount = -1; // the returned-bytes count; -1: the bytes copied
};

struct Device {
    std::string name;
    std::deque<RequestReply> readReplies; // used in order; when empty, complete in full
    std::deque<RequestReply> writeReplies;
    std::string readData;                  // served to reads in order; zero bytes once used up
    std::string written;                   // every byte the device received
    std::map<uint32_t, IoctlReply> ioctls; // codes not listed fail
    bool closeFails = false;
    HANDLE openHandle = nullptr; // the one handle that holds the device
};

// One call into the platform, as the library made it.
struct Call {
    std::string name;
    HANDLE handle = nullptr;      // the handle passed, or the one CreateFileA/CreateEventA gave
    std::string text;             // CreateFileA: the name; CreateEventA: the arguments
    uint32_t size = 0;            // ReadFile/WriteFile: bytes asked; DeviceIoControl: output length
    uint32_t value = 0;           // CreateFileA: flags; DeviceIoControl: code; waits: milliseconds
                                  // or GetOverlappedResult's wait flag
    const void* buffer = nullptr; // ReadFile/WriteFile: position; DeviceIoControl: output buffer
    std::string detail;           // the remaining arguments, spelled out
};

class Simulation {
  public:
    void Reset();

    Device& AddDevice(const std::string& name);
    Device* FindDevice(const std::string& name);

    std::vector<Call> CallsNamed(const std::string& name) const;
    std::vector<std::string> CallNames() const;
    int OpenHandleCount() const { return static_cast<int>(handles.size()); }
    int LiveAllocationCount() const;
    bool HasPendingRequest() const;

    uint32_t tick = 0;
    bool createEventFails = false;
    bool eventCloseFails = false;
    bool waitFails = false;
    int failNextAllocations = 0;
    size_t allocationLimit = size_t(1) << 26; // larger nothrow allocations fail
    std::vector<size_t> allocationSizes;      // every nothrow allocation the library asked for
    bool scribbleAllocations = false; // fill new nothrow blocks with kScribble, so unset bytes show
    UINT codePage = 1252;
    std::vector<std::pair<BYTE, BYTE>> leadByteRanges;

    std::vector<Call> calls;
    // The enumeration's diagnostic hook, as "format|port|status" (host build only).
    std::vector<std::string> traces;
    // Things a correct caller never does; tests expect this list to stay empty.
    std::vector<std::string> faults;

    // Internals shared with the simulated functions.
    struct Pending {
        Device* device = nullptr;
        OVERLAPPED* record = nullptr;
        char* buffer = nullptr;
        uint32_t asked = 0;
        bool isRead = false;
        RequestReply reply;
        bool done = false;
        uint32_t moved = 0;
        bool failed = false;
    };
    struct HandleEntry {
        Device* device = nullptr; // null for an event
        bool signalled = false;
        bool overlapped = false;
    };
    std::deque<Device> devices;
    std::map<HANDLE, HandleEntry> handles;
    std::vector<Pending> pending;
    uintptr_t nextHandle = 0x1000;
};

Simulation& Sim();

} // namespace sim
