// vport: a kernel driver for Wine that plays four IEEE 1284 parallel ports,
// \Device\ParallelPort0..3 reached as LPT1..LPT4, so the plug-in can be tested
// end to end without hardware. Each port's behaviour comes from the registry
// key <service key>\Parameters\LPTn, read again each time the port is opened;
// what the port receives is written back under the same key. See README.md.
#include "freestanding.h"
#include "kernel.h"

namespace {

constexpr int portCount = 4;
constexpr ULONG maxIdBytes = 4096;
constexpr ULONG maxReplyBytes = 65536;
constexpr ULONG poolTag = 0x74726f76; // "vort"

constexpr ULONG ioctlQueryIdSize = 0x00160010;
constexpr ULONG ioctlQueryId = 0x0016000C;
constexpr ULONG ioctlQueryRawId = 0x00160030;
constexpr ULONG ioctlLegacyId = 0x00000011; // device type 0, function 4, METHOD_IN_DIRECT

// How a read or write request ends (ReadMode, ReadEnd, WriteMode).
enum Mode : ULONG { modeData = 0, modeEmpty = 1, modeNever = 2, modeFail = 3 };
// How a query answers (SizeQuery, IdQuery, RawIdQuery, LegacyIdQuery).
enum Answer : ULONG { answerYes = 0, answerFail = 1, answerZero = 2 };

struct Lane {
    LIST_ENTRY queue; // pending requests, oldest first
    ULONG mode;
    ULONG chunk;    // most bytes one request moves; 0 means no limit
    LONGLONG delay; // from arrival to completion, in 100 ns units
    bool isRead;
};

struct Port {
    WCHAR keyPath[200];
    UNICODE_STRING key;
    bool enabled;       // the settings say the port exists
    FILE_OBJECT* owner; // the one handle allowed to do I/O
    UCHAR id[maxIdBytes];
    ULONG idLength;
    ULONG reportedSize;
    ULONG sizeAnswer, idAnswer, rawIdAnswer, legacyIdAnswer;
    bool truncate; // answer a short buffer with what fits instead of failing
    UCHAR reply[maxReplyBytes];
    ULONG replyLength;
    ULONG replyUsed;
    ULONG readEnd; // how reads end once the reply is used up
    Lane read;
    Lane write;
};

Port ports[portCount];
KEVENT wake; // tells the worker thread that a queue changed

ULONG minimum(ULONG a, ULONG b) {
    return a < b ? a : b;
}

// Wine's KeQueryInterruptTime counts milliseconds, not 100 ns units, so due
// times use the system time, which Wine keeps in the documented units.
LONGLONG now() {
    LONGLONG time = 0;
    KeQuerySystemTime(&time);
    return time;
}

ULONG textLength(const WCHAR* text) {
    ULONG n = 0;
    while (text[n])
        ++n;
    return n;
}

UNICODE_STRING unicode(const WCHAR* text) {
    USHORT bytes = USHORT(textLength(text) * sizeof(WCHAR));
    return {bytes, USHORT(bytes + sizeof(WCHAR)), const_cast<WCHAR*>(text)};
}

// ---- registry -------------------------------------------------------------

class Key {
  public:
    Key(UNICODE_STRING* path, ULONG access) {
        OBJECT_ATTRIBUTES attributes{sizeof(OBJECT_ATTRIBUTES),
                                     nullptr,
                                     path,
                                     OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                     nullptr,
                                     nullptr};
        if (ZwOpenKey(&handle, access, &attributes) != STATUS_SUCCESS)
            handle = nullptr;
    }
    ~Key() {
        if (handle)
            ZwClose(handle);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    bool exists() const { return handle != nullptr; }

    // The whole value in pool memory the caller frees, or null if missing.
    KEY_VALUE_PARTIAL_INFORMATION* load(const WCHAR* name) {
        if (!handle)
            return nullptr;
        UNICODE_STRING valueName = unicode(name);
        ULONG needed = 0;
        KEY_VALUE_PARTIAL_INFORMATION probe;
        NTSTATUS status = ZwQueryValueKey(handle, &valueName, KeyValuePartialInformation, &probe,
                                          sizeof(probe), &needed);
        if (status != STATUS_SUCCESS && status != STATUS_BUFFER_OVERFLOW &&
            status != STATUS_BUFFER_TOO_SMALL)
            return nullptr;
        if (needed < sizeof(probe))
            needed = sizeof(probe);
        auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(
            ExAllocatePoolWithTag(NonPagedPool, needed, poolTag));
        if (info && ZwQueryValueKey(handle, &valueName, KeyValuePartialInformation, info, needed,
                                    &needed) == STATUS_SUCCESS)
            return info;
        if (info)
            ExFreePoolWithTag(info, poolTag);
        return nullptr;
    }

    // Copies at most `capacity` bytes; returns how many were copied.
    ULONG bytes(const WCHAR* name, UCHAR* out, ULONG capacity) {
        KEY_VALUE_PARTIAL_INFORMATION* info = load(name);
        if (!info)
            return 0;
        ULONG n = minimum(info->dataLength, capacity);
        memcpy(out, info->data, n);
        ExFreePoolWithTag(info, poolTag);
        return n;
    }

    ULONG dword(const WCHAR* name, ULONG fallback) {
        KEY_VALUE_PARTIAL_INFORMATION* info = load(name);
        ULONG value = fallback;
        if (info && info->type == REG_DWORD && info->dataLength == 4)
            memcpy(&value, info->data, 4);
        if (info)
            ExFreePoolWithTag(info, poolTag);
        return value;
    }

    void set(const WCHAR* name, ULONG type, const void* data, ULONG size) {
        UNICODE_STRING valueName = unicode(name);
        if (handle)
            ZwSetValueKey(handle, &valueName, 0, type, data, size);
    }

    void append(const WCHAR* name, const void* data, ULONG size) {
        KEY_VALUE_PARTIAL_INFORMATION* old = load(name);
        ULONG oldSize = old ? old->dataLength : 0;
        auto* joined =
            static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, oldSize + size + 1, poolTag));
        if (joined) {
            if (old)
                memcpy(joined, old->data, oldSize);
            memcpy(joined + oldSize, data, size);
            set(name, REG_BINARY, joined, oldSize + size);
            ExFreePoolWithTag(joined, poolTag);
        }
        if (old)
            ExFreePoolWithTag(old, poolTag);
    }

  private:
    HANDLE handle = nullptr;
};

void record(Port& port, const WCHAR* name, const void* data, ULONG size) {
    Key key(&port.key, KEY_READ | KEY_WRITE);
    key.append(name, data, size);
}

void loadLane(Key& key, Lane& lane, const WCHAR* mode, const WCHAR* chunk, const WCHAR* delay) {
    lane.mode = key.dword(mode, modeData);
    lane.chunk = key.dword(chunk, 0);
    lane.delay = LONGLONG(key.dword(delay, 0)) * 10000;
}

// Runs only while the port has no owner, so no request can be using the settings.
void loadSettings(Port& port) {
    Key key(&port.key, KEY_READ);
    port.enabled = key.exists() && key.dword(u"Present", 1) != 0;
    port.idLength = key.bytes(u"DeviceId", port.id, maxIdBytes);
    port.reportedSize = key.dword(u"ReportedSize", port.idLength + 2);
    port.sizeAnswer = key.dword(u"SizeQuery", answerYes);
    port.idAnswer = key.dword(u"IdQuery", answerYes);
    port.rawIdAnswer = key.dword(u"RawIdQuery", answerYes);
    port.legacyIdAnswer = key.dword(u"LegacyIdQuery", answerYes);
    port.truncate = key.dword(u"ShortBuffer", 0) != 0;
    port.replyLength = key.bytes(u"Reply", port.reply, maxReplyBytes);
    port.replyUsed = 0;
    port.readEnd = key.dword(u"ReadEnd", modeNever);
    loadLane(key, port.read, u"ReadMode", u"ReadChunk", u"ReadDelay");
    loadLane(key, port.write, u"WriteMode", u"WriteChunk", u"WriteDelay");
}

// ---- request queues -------------------------------------------------------

class CancelLock { // the one lock for queues and owners, shared with IoCancelIrp
  public:
    CancelLock() { IoAcquireCancelSpinLock(&irql); }
    ~CancelLock() { IoReleaseCancelSpinLock(irql); }

  private:
    KIRQL irql;
};

void initList(LIST_ENTRY* head) {
    head->flink = head->blink = head;
}
bool isEmpty(const LIST_ENTRY* head) {
    return head->flink == head;
}

void insertTail(LIST_ENTRY* head, LIST_ENTRY* entry) {
    entry->flink = head;
    entry->blink = head->blink;
    head->blink->flink = entry;
    head->blink = entry;
}

void removeEntry(LIST_ENTRY* entry) {
    entry->blink->flink = entry->flink;
    entry->flink->blink = entry->blink;
    initList(entry);
}

IRP* irpOf(LIST_ENTRY* entry) {
    return reinterpret_cast<IRP*>(reinterpret_cast<char*>(entry) -
                                  __builtin_offsetof(IRP, listEntry));
}

Port& portOf(DEVICE_OBJECT* device) {
    return **static_cast<Port**>(device->deviceExtension);
}

// The due time lives in the driver's context slots while the IRP is queued.
void setDue(IRP* irp, LONGLONG due) {
    memcpy(irp->driverContext, &due, sizeof(due));
}
LONGLONG dueOf(IRP* irp) {
    LONGLONG due;
    memcpy(&due, irp->driverContext, sizeof(due));
    return due;
}

void* ioBuffer(IRP* irp) {
    if (irp->systemBuffer)
        return irp->systemBuffer;
    if (irp->mdlAddress)
        return systemAddress(irp->mdlAddress);
    return irp->userBuffer;
}

NTSTATUS finish(IRP* irp, NTSTATUS status, ULONG information) {
    completeRequest(irp, status, information);
    return status;
}

void NTAPI cancelQueued(DEVICE_OBJECT*, IRP* irp) {
    removeEntry(&irp->listEntry);
    IoReleaseCancelSpinLock(irp->cancelIrql);
    completeRequest(irp, STATUS_CANCELLED, 0);
}

// Decides how the oldest request of a lane ends; false keeps it pending.
bool decide(Port& port, Lane& lane, IRP* irp) {
    ULONG length = currentStack(irp)->parameters.readWrite.length;
    ULONG limit = lane.chunk ? minimum(length, lane.chunk) : length;
    ULONG mode = lane.mode;
    if (lane.isRead && mode == modeData && port.replyUsed >= port.replyLength)
        mode = port.readEnd;
    ULONG moved = 0;
    switch (mode) {
    case modeNever:
        return false;
    case modeEmpty:
        break;
    case modeFail:
        irp->ioStatus = {STATUS_IO_DEVICE_ERROR, 0};
        return true;
    default:
        moved = limit;
        if (lane.isRead) {
            moved = minimum(limit, port.replyLength - port.replyUsed);
            memcpy(ioBuffer(irp), port.reply + port.replyUsed, moved);
            port.replyUsed += moved;
        }
    }
    irp->ioStatus = {STATUS_SUCCESS, moved};
    return true;
}

// Moves the lane's due requests to `done`; lowers `next` to the next due time.
void serveLane(Port& port, Lane& lane, LONGLONG time, LIST_ENTRY* done, LONGLONG* next) {
    while (!isEmpty(&lane.queue)) {
        IRP* irp = irpOf(lane.queue.flink);
        if (dueOf(irp) > time) {
            if (*next == 0 || dueOf(irp) < *next)
                *next = dueOf(irp);
            return;
        }
        if (!decide(port, lane, irp))
            return;
        removeEntry(&irp->listEntry);
        setCancelRoutine(irp, nullptr);
        insertTail(done, &irp->listEntry);
    }
}

// Completes requests already taken off their queues, outside the lock.
void completeAll(LIST_ENTRY* done) {
    while (!isEmpty(done)) {
        IRP* irp = irpOf(done->flink);
        removeEntry(&irp->listEntry);
        IO_STACK_LOCATION* stack = currentStack(irp);
        if (stack->majorFunction == IRP_MJ_WRITE && irp->ioStatus.status == STATUS_SUCCESS &&
            irp->ioStatus.information)
            record(portOf(stack->deviceObject), u"Received", ioBuffer(irp),
                   irp->ioStatus.information);
        IofCompleteRequest(irp, 0);
    }
}

LONGLONG serveDue() {
    LIST_ENTRY done;
    initList(&done);
    LONGLONG next = 0;
    {
        CancelLock lock;
        LONGLONG time = now();
        for (Port& port : ports) {
            serveLane(port, port.read, time, &done, &next);
            serveLane(port, port.write, time, &done, &next);
        }
    }
    completeAll(&done);
    return next;
}

void NTAPI worker(void*) {
    for (;;) {
        LONGLONG next = serveDue();
        if (next == 0) {
            KeWaitForSingleObject(&wake, 0, 0, 0, nullptr);
            continue;
        }
        LONGLONG timeout = now() - next; // negative means relative
        if (timeout < 0)
            KeWaitForSingleObject(&wake, 0, 0, 0, &timeout);
    }
}

NTSTATUS queueRequest(Port& port, Lane& lane, IRP* irp) {
    ULONG length = currentStack(irp)->parameters.readWrite.length;
    record(port, lane.isRead ? u"ReadSizes" : u"WriteSizes", &length, sizeof(length));
    setDue(irp, now() + lane.delay);
    markPending(irp);
    bool cancelled = false;
    {
        CancelLock lock;
        setCancelRoutine(irp, cancelQueued);
        cancelled = irp->cancel && setCancelRoutine(irp, nullptr);
        if (!cancelled)
            insertTail(&lane.queue, &irp->listEntry);
    }
    if (cancelled)
        completeRequest(irp, STATUS_CANCELLED, 0);
    KeSetEvent(&wake, 0, 0);
    return STATUS_PENDING;
}

void takeAll(Lane& lane, LIST_ENTRY* done) {
    while (!isEmpty(&lane.queue)) {
        IRP* irp = irpOf(lane.queue.flink);
        removeEntry(&irp->listEntry);
        setCancelRoutine(irp, nullptr);
        irp->ioStatus = {STATUS_CANCELLED, 0};
        insertTail(done, &irp->listEntry);
    }
}

// ---- dispatch ---------------------------------------------------------------

NTSTATUS openPort(Port& port, FILE_OBJECT* file) {
    {
        CancelLock lock;
        if (port.owner)
            return STATUS_ACCESS_DENIED;
        port.owner = file;
    }
    loadSettings(port);
    if (!port.enabled) {
        CancelLock lock;
        port.owner = nullptr;
        return STATUS_NO_SUCH_DEVICE;
    }
    Key key(&port.key, KEY_READ | KEY_WRITE);
    ULONG opens = key.dword(u"Opens", 0) + 1;
    key.set(u"Opens", REG_DWORD, &opens, sizeof(opens));
    return STATUS_SUCCESS;
}

// Wine closes with requests still pending and never sends IRP_MJ_CLEANUP, so
// both end the owner's pending requests here.
void closePort(Port& port, FILE_OBJECT* file) {
    LIST_ENTRY done;
    initList(&done);
    {
        CancelLock lock;
        if (file != port.owner)
            return;
        port.owner = nullptr;
        takeAll(port.read, &done);
        takeAll(port.write, &done);
    }
    completeAll(&done);
}

NTSTATUS checkAccess(Port& port, FILE_OBJECT* file) {
    CancelLock lock;
    if (!port.enabled)
        return STATUS_NO_SUCH_DEVICE;
    return file == port.owner ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

NTSTATUS answerSize(Port& port, IRP* irp, ULONG capacity) {
    if (port.sizeAnswer == answerFail)
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (port.sizeAnswer == answerZero)
        return finish(irp, STATUS_SUCCESS, 0);
    if (capacity < sizeof(ULONG))
        return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
    memcpy(irp->systemBuffer, &port.reportedSize, sizeof(ULONG));
    return finish(irp, STATUS_SUCCESS, sizeof(ULONG));
}

// The raw form is the IEEE 1284 one: a big-endian length counting itself, then the text.
NTSTATUS answerId(Port& port, IRP* irp, ULONG answer, bool raw, UCHAR* out, ULONG capacity) {
    if (answer == answerFail)
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (answer == answerZero)
        return finish(irp, STATUS_SUCCESS, 0);
    ULONG header = raw ? 2 : 0;
    ULONG needed = header + port.idLength;
    if (capacity < needed && !port.truncate)
        return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
    ULONG n = minimum(capacity, needed);
    if (n && !out)
        return finish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    UCHAR length[2] = {UCHAR(needed >> 8), UCHAR(needed)};
    memcpy(out, length, minimum(n, header));
    if (n > header)
        memcpy(out + header, port.id, n - header);
    return finish(irp, STATUS_SUCCESS, n);
}

NTSTATUS deviceControl(Port& port, IRP* irp) {
    auto& parameters = currentStack(irp)->parameters.deviceIoControl;
    ULONG capacity = parameters.outputBufferLength;
    // Tests read back which queries came, in order, and what length each offered.
    ULONG offered[2] = {parameters.ioControlCode, capacity};
    record(port, u"IoctlSizes", offered, sizeof(offered));
    auto* buffered = static_cast<UCHAR*>(irp->systemBuffer);
    switch (parameters.ioControlCode) {
    case ioctlQueryIdSize:
        return answerSize(port, irp, capacity);
    case ioctlQueryId:
        return answerId(port, irp, port.idAnswer, false, buffered, capacity);
    case ioctlQueryRawId:
        return answerId(port, irp, port.rawIdAnswer, true, buffered, capacity);
    case ioctlLegacyId: {
        auto* out = irp->mdlAddress ? static_cast<UCHAR*>(systemAddress(irp->mdlAddress)) : nullptr;
        return answerId(port, irp, port.legacyIdAnswer, false, out, capacity);
    }
    }
    return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NTAPI dispatch(DEVICE_OBJECT* device, IRP* irp) {
    Port& port = portOf(device);
    IO_STACK_LOCATION* stack = currentStack(irp);
    switch (stack->majorFunction) {
    case IRP_MJ_CREATE:
        return finish(irp, openPort(port, stack->fileObject), 0);
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        closePort(port, stack->fileObject);
        return finish(irp, STATUS_SUCCESS, 0);
    }
    NTSTATUS access = checkAccess(port, stack->fileObject);
    if (access != STATUS_SUCCESS)
        return finish(irp, access, 0);
    switch (stack->majorFunction) {
    case IRP_MJ_READ:
        return queueRequest(port, port.read, irp);
    case IRP_MJ_WRITE:
        return queueRequest(port, port.write, irp);
    case IRP_MJ_DEVICE_CONTROL:
        return deviceControl(port, irp);
    }
    return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

// ---- loading ----------------------------------------------------------------

void appendText(WCHAR* to, ULONG capacity, const WCHAR* text) {
    ULONG at = textLength(to);
    for (ULONG i = 0; text[i] && at + 1 < capacity; ++i)
        to[at++] = text[i];
    to[at] = 0;
}

void initPort(Port& port, int index, const UNICODE_STRING* serviceKey) {
    ULONG chars = minimum(serviceKey->length / sizeof(WCHAR), 100);
    memcpy(port.keyPath, serviceKey->buffer, chars * sizeof(WCHAR));
    port.keyPath[chars] = 0;
    WCHAR suffix[] = u"\\Parameters\\LPT1";
    suffix[textLength(suffix) - 1] = WCHAR(u'1' + index);
    appendText(port.keyPath, 200, suffix);
    port.key = unicode(port.keyPath);
    initList(&port.read.queue);
    initList(&port.write.queue);
    port.read.isRead = true;
}

// A port is linked as LPTn only if its settings say it exists when the driver
// loads: Wine ignores a failed IRP_MJ_CREATE, so a missing link is the only way
// for an absent port's open to fail.
bool createPort(DRIVER_OBJECT* driver, int index) {
    WCHAR deviceName[] = u"\\Device\\ParallelPort0";
    WCHAR linkName[] = u"\\DosDevices\\LPT1";
    deviceName[textLength(deviceName) - 1] = WCHAR(u'0' + index);
    linkName[textLength(linkName) - 1] = WCHAR(u'1' + index);
    UNICODE_STRING device = unicode(deviceName), link = unicode(linkName);
    DEVICE_OBJECT* object = nullptr;
    if (IoCreateDevice(driver, sizeof(Port*), &device, FILE_DEVICE_PARALLEL_PORT, 0, 0, &object) !=
        STATUS_SUCCESS)
        return false;
    *static_cast<Port**>(object->deviceExtension) = &ports[index];
    object->flags = (object->flags | DO_BUFFERED_IO) & ~DO_DEVICE_INITIALIZING;
    loadSettings(ports[index]);
    return ports[index].enabled && IoCreateSymbolicLink(&link, &device) == STATUS_SUCCESS;
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* serviceKey) {
    KeInitializeEvent(&wake, SynchronizationEvent, 0);
    const int handled[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP,
                           IRP_MJ_READ,   IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL};
    for (int major : handled)
        driver->majorFunction[major] = dispatch;
    ULONG linked = 0; // bit n-1 set when LPTn is linked; the test harness reads it
    for (int i = 0; i < portCount; ++i) {
        initPort(ports[i], i, serviceKey);
        if (createPort(driver, i))
            linked |= 1u << i;
    }
    WCHAR parametersPath[200] = {};
    memcpy(parametersPath, ports[0].keyPath, sizeof(parametersPath));
    parametersPath[textLength(parametersPath) - 5] = 0; // drop "\LPT1"
    UNICODE_STRING parameters = unicode(parametersPath);
    Key key(&parameters, KEY_WRITE);
    key.set(u"LinkedPorts", REG_DWORD, &linked, sizeof(linked));
    HANDLE thread = nullptr;
    NTSTATUS status =
        PsCreateSystemThread(&thread, 0x1FFFFF, nullptr, nullptr, nullptr, worker, nullptr);
    if (status == STATUS_SUCCESS)
        ZwClose(thread);
    return status;
}
