// ProbeHandle: one synchronous, unshared open of a device for the length of a
// probe, and the fetching of the device's IEEE 1284 ID through the parallel
// port driver's device-control requests.
#include "probe_handle.h"

#include "../platform/memory.h"

namespace {

constexpr DWORD kQueryDeviceIdSize = 0x00160010; // IOCTL_PAR_QUERY_DEVICE_ID_SIZE

// Drivers differ in which of these they answer, so each is tried in turn.
constexpr DWORD kDeviceIdQueries[] = {
    0x0016000C, // IOCTL_PAR_QUERY_DEVICE_ID
    0x00160030, // IOCTL_PAR_QUERY_RAW_DEVICE_ID
    0x00000011, // a bare code with no symbolic name, answered by some drivers
};

// Offered when the driver does not say how long the ID is.
constexpr DWORD kDefaultIdSize = 4096;

// ID size + 1 must fit in 32 bits, so the largest value is treated as a size
// that no allocation can satisfy.
constexpr DWORD kUnallocatableIdSize = 0xFFFFFFFF;

DWORD QueryIdSize(HANDLE device) {
    // Starts at zero so that a reply of fewer than four bytes leaves the
    // bytes the device did not write as zero.
    DWORD idSize = 0;
    DWORD returned = 0;
    if (!DeviceIoControl(device, kQueryDeviceIdSize, nullptr, 0, &idSize, sizeof idSize, &returned,
                         nullptr) ||
        returned == 0)
        return kDefaultIdSize;
    return idSize;
}

// Sends the ID queries in order until one answers with bytes, and returns how
// many bytes that reply holds, or 0 when none did. A count beyond the length
// offered comes from a misbehaving driver and is cut to that length, so that
// the terminator stays inside the buffer; when nothing at all was offered,
// the cut count is 0 and the reply counts as empty.
DWORD QueryId(HANDLE device, char* buffer, DWORD idSize) {
    for (DWORD code : kDeviceIdQueries) {
        DWORD returned = 0;
        if (!DeviceIoControl(device, code, nullptr, 0, buffer, idSize, &returned, nullptr))
            continue;
        if (returned > idSize)
            returned = idSize;
        if (returned != 0)
            return returned;
    }
    return 0;
}

// One zero byte: the port answered, but gave no ID. Null only when even this
// byte cannot be had.
char* AllocateEmptyId() {
    char* text = AllocateBytes(1);
    if (text != nullptr)
        text[0] = '\0';
    return text;
}

} // namespace

ProbeHandle::ProbeHandle(const char* deviceName) : deviceHandle(nullptr) {
    HANDLE device = CreateFileA(deviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device != INVALID_HANDLE_VALUE)
        deviceHandle = device;
}

ProbeHandle::~ProbeHandle() {
    if (deviceHandle != nullptr)
        CloseHandle(deviceHandle);
}

char* ProbeHandle::ReadDeviceId() {
    if (deviceHandle == nullptr)
        return nullptr;
    DWORD idSize = QueryIdSize(deviceHandle);
    if (idSize == kUnallocatableIdSize)
        return AllocateEmptyId();
    // The extra byte holds the terminator and is never offered to the device.
    char* buffer = AllocateBytes(size_t(idSize) + 1);
    if (buffer == nullptr)
        return AllocateEmptyId();
    DWORD length = QueryId(deviceHandle, buffer, idSize);
    if (length == 0) {
        ::operator delete(buffer);
        return AllocateEmptyId();
    }
    buffer[length] = '\0';
    // A leading zero byte would make the ID read as empty, as if the port had
    // given none.
    if (buffer[0] == '\0')
        buffer[0] = '*';
    return buffer;
}
