/*
 * quillport: IEEE 1284 devices on the PC's parallel ports, for 32-bit Windows hosts.
 *
 * The DLL exports two functions, with C linkage and the __cdecl convention:
 *
 *   EnumerateDevices (ordinal 1)  probes LPT1..LPT4 and reports every device whose
 *                                 IEEE 1284 ID names a manufacturer and a model.
 *   CreatePort       (ordinal 2)  makes a DevicePort for one device name.
 *
 * Load the DLL, fetch them with GetProcAddress (by name or ordinal), and use
 * the objects only through their virtual operations. Results are 1 for
 * success and 0 for failure; no error code is set or reported.
 */
#ifndef QUILLPORT_H
#define QUILLPORT_H

#include <stdint.h>

#if defined(_WIN32)
#define QUILLPORT_CALL __cdecl
#if defined(_M_IX86) || defined(__i386__)
#define QUILLPORT_MEMBER __thiscall
#else
#define QUILLPORT_MEMBER
#endif
#define QUILLPORT_STDCALL __stdcall
/* The same type as DWORD, so hosts pass DWORD values and pointers unchanged. */
typedef unsigned long QuillUInt32;
#else
#define QUILLPORT_CALL
#define QUILLPORT_MEMBER
#define QUILLPORT_STDCALL
typedef uint32_t QuillUInt32;
#endif

#if defined(_WIN32) && !defined(QUILLPORT_BUILDING)
#define QUILLPORT_API __declspec(dllimport)
#else
#define QUILLPORT_API
#endif

class DevicePort;
class DeviceSink;

extern "C" {

/* A new, closed port for deviceName (such as "LPT1" or "\\.\pipe\name"), or
 * null when no memory is left. The device is not touched until Open. Names
 * longer than 259 characters are cut. Free the port with delete. */
QUILLPORT_API DevicePort* QUILLPORT_CALL CreatePort(const char* deviceName);

/* Reports each of LPT1..LPT4 whose device names a manufacturer and a model to
 * sink, in port order, on the calling thread. Returns 1 when at least one
 * device was reported, else 0. */
QUILLPORT_API int QUILLPORT_CALL EnumerateDevices(DeviceSink* sink);

} /* extern "C" */

typedef DevicePort*(QUILLPORT_CALL* CreatePortFunction)(const char* deviceName);
typedef int(QUILLPORT_CALL* EnumerateDevicesFunction)(DeviceSink* sink);

/* One device, opened for overlapped reading and writing without sharing.
 * Data moves in requests of at most 4096 bytes; the timeout in milliseconds
 * bounds the whole call. Do not let two operations on one port overlap. */
class DevicePort {
  public:
    /* Closes whatever the port holds. */
    virtual ~DevicePort();
    /* 1 when the device is open afterwards (now or already), else 0. */
    virtual int QUILLPORT_MEMBER Open();
    /* 1 when exactly length bytes were read; *transferred gets the bytes moved. */
    virtual int QUILLPORT_MEMBER Read(void* buffer, QuillUInt32 length, QuillUInt32* transferred,
                                      QuillUInt32 timeout);
    /* 1 when exactly length bytes were written; *transferred gets the bytes moved. */
    virtual int QUILLPORT_MEMBER Write(const void* buffer, QuillUInt32 length,
                                       QuillUInt32* transferred, QuillUInt32 timeout);
    /* 1 when every close succeeded; a port may be opened again afterwards. */
    virtual int QUILLPORT_MEMBER Close();

    /* The rest is the library's own: hosts never construct or copy a port. */
  private:
    friend QUILLPORT_API DevicePort* QUILLPORT_CALL CreatePort(const char* deviceName);
    typedef int(QUILLPORT_STDCALL* Request)(void* device, void* position, QuillUInt32 chunk,
                                            QuillUInt32* moved, struct _OVERLAPPED* record);

    DevicePort(const char* deviceName, QuillUInt32 chunkSize);
    DevicePort(const DevicePort&) = delete;
    DevicePort& operator=(const DevicePort&) = delete;
    int Transfer(Request request, void* buffer, QuillUInt32 length, QuillUInt32* transferred,
                 QuillUInt32 timeout);

    QuillUInt32 chunkSize;
    void* completionEvent;
    char deviceName[260];
    void* deviceHandle;
};

/* Implemented by the host. OnDeviceFound is entry 0 of the virtual table and
 * is called from inside EnumerateDevices, on its thread. The texts are valid
 * only during the call: copy what you keep. portName and devicePath are the
 * same text ("LPT1".."LPT4"); deviceId is the ID up to the end of its first
 * field. Return nonzero to go on with the next port, 0 to stop. */
class DeviceSink {
  public:
    virtual int QUILLPORT_MEMBER OnDeviceFound(const char* manufacturer, const char* model,
                                               const char* portName, const char* devicePath,
                                               const char* deviceId) = 0;

  protected:
    ~DeviceSink() {}
};

#endif /* QUILLPORT_H */
