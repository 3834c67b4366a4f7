// ProbeHandle: a short-lived synchronous, unshared handle on one device, held
// for the length of one probe, and the reading of the device's IEEE 1284 ID.
#pragma once

#include "../platform/win32.h"

class ProbeHandle {
  public:
    // Opens the device; when that fails the probe holds no handle.
    explicit ProbeHandle(const char* deviceName);
    ~ProbeHandle();
    ProbeHandle(const ProbeHandle&) = delete;
    ProbeHandle& operator=(const ProbeHandle&) = delete;

    // Null when the device was not opened (or not even one byte of memory
    // was left); otherwise a zero-terminated text from the global operator
    // new that the caller releases with operator delete: empty when the
    // device gave no ID or no buffer could be had, else the ID, never
    // starting with a zero byte.
    char* ReadDeviceId();

  private:
    HANDLE deviceHandle;
};
