// The few 32-bit x86 Windows kernel declarations vport needs, written from the
// public documentation of wdm.h. Only the members vport touches are named; the
// rest are padding so the offsets match, and static_asserts pin the sizes.
#pragma once

#if !defined(__i386__)
#error "vport is a 32-bit x86 driver"
#endif

#define NTAPI __stdcall
#define FASTCALL __fastcall
#define NTIMPORT extern "C" __declspec(dllimport)

typedef unsigned char UCHAR;
typedef unsigned short USHORT;
typedef unsigned long ULONG;
typedef long LONG;
typedef long long LONGLONG;
typedef long NTSTATUS;
typedef char16_t WCHAR;
typedef UCHAR KIRQL;
typedef unsigned long SIZE_T;
typedef void* HANDLE;

constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_PENDING = 0x00000103;
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = (NTSTATUS)0x80000005;
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = (NTSTATUS)0xC0000034;
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = (NTSTATUS)0xC0000010;
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = (NTSTATUS)0xC000009A;
constexpr NTSTATUS STATUS_ACCESS_DENIED = (NTSTATUS)0xC0000022;
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = (NTSTATUS)0xC0000023;
constexpr NTSTATUS STATUS_CANCELLED = (NTSTATUS)0xC0000120;
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = (NTSTATUS)0xC000000E;
constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = (NTSTATUS)0xC0000185;

struct LIST_ENTRY {
    LIST_ENTRY* flink;
    LIST_ENTRY* blink;
};

struct UNICODE_STRING {
    USHORT length; // in bytes, without a terminator
    USHORT maximumLength;
    WCHAR* buffer;
};

struct IO_STATUS_BLOCK {
    NTSTATUS status;
    ULONG information;
};

// Memory descriptor list: only the fields MmGetSystemAddressForMdlSafe reads.
struct MDL {
    MDL* next;
    short size;
    short mdlFlags;
    void* process;
    void* mappedSystemVa;
    void* startVa;
    ULONG byteCount;
    ULONG byteOffset;
};
static_assert(sizeof(MDL) == 0x1C, "MDL header");
constexpr short MDL_MAPPED_TO_SYSTEM_VA = 0x0001;
constexpr short MDL_SOURCE_IS_NONPAGED_POOL = 0x0004;

struct FILE_OBJECT; // only ever compared by address
struct DEVICE_OBJECT;
struct IRP;
struct DRIVER_OBJECT;

typedef NTSTATUS(NTAPI* DriverDispatch)(DEVICE_OBJECT*, IRP*);
typedef void(NTAPI* DriverCancel)(DEVICE_OBJECT*, IRP*);

struct IO_STACK_LOCATION {
    UCHAR majorFunction;
    UCHAR minorFunction;
    UCHAR flags;
    UCHAR control;
    union {
        struct { // IRP_MJ_READ and IRP_MJ_WRITE
            ULONG length;
            ULONG key;
            ULONG byteOffsetLow;
            LONG byteOffsetHigh;
        } readWrite;
        struct { // IRP_MJ_DEVICE_CONTROL
            ULONG outputBufferLength;
            ULONG inputBufferLength;
            ULONG ioControlCode;
            void* type3InputBuffer;
        } deviceIoControl;
        void* others[4];
    } parameters;
    DEVICE_OBJECT* deviceObject;
    FILE_OBJECT* fileObject;
    void* completionRoutine;
    void* context;
};
static_assert(sizeof(IO_STACK_LOCATION) == 0x24, "IO_STACK_LOCATION");
static_assert(__builtin_offsetof(IO_STACK_LOCATION, fileObject) == 0x18, "FileObject");

constexpr UCHAR SL_PENDING_RETURNED = 0x01;

struct IRP {
    short type;
    USHORT size;
    MDL* mdlAddress;
    ULONG flags;
    void* systemBuffer; // AssociatedIrp union
    LIST_ENTRY threadListEntry;
    IO_STATUS_BLOCK ioStatus;
    char requestorMode;
    UCHAR pendingReturned;
    char stackCount;
    char currentLocation;
    UCHAR cancel;
    KIRQL cancelIrql;
    char apcEnvironment;
    UCHAR allocationFlags;
    IO_STATUS_BLOCK* userIosb;
    void* userEvent;
    void* overlay[2];
    DriverCancel cancelRoutine;
    void* userBuffer;
    // Tail.Overlay; the union with Tail.Apc (a 0x30-byte KAPC) sets the size.
    void* driverContext[4];
    void* thread;
    char* auxiliaryBuffer;
    LIST_ENTRY listEntry; // free for the driver that owns the IRP
    IO_STACK_LOCATION* currentStackLocation;
    FILE_OBJECT* originalFileObject;
    UCHAR tailApcRest[0x30 - 0x28];
};
static_assert(sizeof(IRP) == 0x70, "IRP");
static_assert(__builtin_offsetof(IRP, ioStatus) == 0x18, "IoStatus");
static_assert(__builtin_offsetof(IRP, cancelRoutine) == 0x38, "CancelRoutine");
static_assert(__builtin_offsetof(IRP, listEntry) == 0x58, "Tail.Overlay.ListEntry");
static_assert(__builtin_offsetof(IRP, currentStackLocation) == 0x60, "CurrentStackLocation");

constexpr int IRP_MJ_CREATE = 0x00;
constexpr int IRP_MJ_CLOSE = 0x02;
constexpr int IRP_MJ_READ = 0x03;
constexpr int IRP_MJ_WRITE = 0x04;
constexpr int IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr int IRP_MJ_CLEANUP = 0x12;
constexpr int IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

struct DRIVER_OBJECT {
    short type;
    short size;
    DEVICE_OBJECT* deviceObject;
    ULONG flags;
    void* driverStart;
    ULONG driverSize;
    void* driverSection;
    void* driverExtension;
    UNICODE_STRING driverName;
    UNICODE_STRING* hardwareDatabase;
    void* fastIoDispatch;
    void* driverInit;
    void* driverStartIo;
    void(NTAPI* driverUnload)(DRIVER_OBJECT*);
    DriverDispatch majorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};
static_assert(sizeof(DRIVER_OBJECT) == 0xA8, "DRIVER_OBJECT");

struct DEVICE_OBJECT {
    short type;
    USHORT size;
    LONG referenceCount;
    DRIVER_OBJECT* driverObject;
    DEVICE_OBJECT* nextDevice;
    DEVICE_OBJECT* attachedDevice;
    IRP* currentIrp;
    void* timer;
    ULONG flags;
    ULONG characteristics;
    void* vpb;
    void* deviceExtension;
    ULONG deviceType;
    char stackSize;
    // Queue, AlignmentRequirement, DeviceQueue, Dpc, DeviceLock and the rest.
    UCHAR rest[0xB8 - 0x34];
};
static_assert(sizeof(DEVICE_OBJECT) == 0xB8, "DEVICE_OBJECT");
static_assert(__builtin_offsetof(DEVICE_OBJECT, deviceExtension) == 0x28, "DeviceExtension");

constexpr ULONG DO_BUFFERED_IO = 0x00000004;
constexpr ULONG DO_DEVICE_INITIALIZING = 0x00000080;
constexpr ULONG FILE_DEVICE_PARALLEL_PORT = 0x00000016;

// A dispatcher event is opaque here: sized storage the kernel initialises.
struct KEVENT {
    UCHAR opaque[0x10];
};
constexpr int SynchronizationEvent = 1;
typedef void(NTAPI* ThreadStart)(void* context);

struct KEY_VALUE_PARTIAL_INFORMATION {
    ULONG titleIndex;
    ULONG type;
    ULONG dataLength;
    UCHAR data[1];
};
constexpr int KeyValuePartialInformation = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG KEY_READ = 0x20019;
constexpr ULONG KEY_WRITE = 0x20006;
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x40;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x200;

struct OBJECT_ATTRIBUTES {
    ULONG length;
    HANDLE rootDirectory;
    UNICODE_STRING* objectName;
    ULONG attributes;
    void* securityDescriptor;
    void* securityQualityOfService;
};
static_assert(sizeof(OBJECT_ATTRIBUTES) == 0x18, "OBJECT_ATTRIBUTES");

constexpr int NonPagedPool = 0;

NTIMPORT NTSTATUS NTAPI IoCreateDevice(DRIVER_OBJECT*, ULONG extensionSize, UNICODE_STRING* name,
                                       ULONG type, ULONG characteristics, UCHAR exclusive,
                                       DEVICE_OBJECT** device);
NTIMPORT void NTAPI IoDeleteDevice(DEVICE_OBJECT*);
NTIMPORT NTSTATUS NTAPI IoCreateSymbolicLink(UNICODE_STRING* link, UNICODE_STRING* target);
NTIMPORT NTSTATUS NTAPI IoDeleteSymbolicLink(UNICODE_STRING* link);
NTIMPORT void FASTCALL IofCompleteRequest(IRP*, char priorityBoost);
NTIMPORT void NTAPI IoAcquireCancelSpinLock(KIRQL*);
NTIMPORT void NTAPI IoReleaseCancelSpinLock(KIRQL);
NTIMPORT void* NTAPI MmMapLockedPagesSpecifyCache(MDL*, char accessMode, int cacheType,
                                                  void* baseAddress, ULONG bugCheckOnFailure,
                                                  ULONG priority);
NTIMPORT void* NTAPI ExAllocatePoolWithTag(int poolType, SIZE_T bytes, ULONG tag);
NTIMPORT void NTAPI ExFreePoolWithTag(void*, ULONG tag);
NTIMPORT void NTAPI KeInitializeEvent(KEVENT*, int type, UCHAR state);
NTIMPORT LONG NTAPI KeSetEvent(KEVENT*, LONG increment, UCHAR wait);
NTIMPORT NTSTATUS NTAPI KeWaitForSingleObject(void* object, int reason, char mode, UCHAR alertable,
                                              LONGLONG* timeout);
NTIMPORT void NTAPI KeQuerySystemTime(LONGLONG* time); // 100 ns units
NTIMPORT NTSTATUS NTAPI PsCreateSystemThread(HANDLE* thread, ULONG access, OBJECT_ATTRIBUTES*,
                                             HANDLE process, void* clientId, ThreadStart,
                                             void* context);
NTIMPORT NTSTATUS NTAPI ZwOpenKey(HANDLE*, ULONG access, OBJECT_ATTRIBUTES*);
NTIMPORT NTSTATUS NTAPI ZwQueryValueKey(HANDLE, UNICODE_STRING* name, int infoClass, void* info,
                                        ULONG length, ULONG* resultLength);
NTIMPORT NTSTATUS NTAPI ZwSetValueKey(HANDLE, UNICODE_STRING* name, ULONG titleIndex, ULONG type,
                                      const void* data, ULONG size);
NTIMPORT NTSTATUS NTAPI ZwClose(HANDLE);

inline IO_STACK_LOCATION* currentStack(IRP* irp) {
    return irp->currentStackLocation;
}

inline void completeRequest(IRP* irp, NTSTATUS status, ULONG information) {
    irp->ioStatus.status = status;
    irp->ioStatus.information = information;
    IofCompleteRequest(irp, 0);
}

// IoSetCancelRoutine is a macro around an interlocked exchange.
inline DriverCancel setCancelRoutine(IRP* irp, DriverCancel routine) {
    return __atomic_exchange_n(&irp->cancelRoutine, routine, __ATOMIC_SEQ_CST);
}

inline void markPending(IRP* irp) {
    currentStack(irp)->control |= SL_PENDING_RETURNED;
}

// MmGetSystemAddressForMdlSafe is a macro: use the existing mapping if there is one.
inline void* systemAddress(MDL* mdl) {
    if (mdl->mdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return mdl->mappedSystemVa;
    return MmMapLockedPagesSpecifyCache(mdl, 0 /*KernelMode*/, 1 /*MmCached*/, nullptr, 0,
                                        16 /*NormalPagePriority*/);
}
