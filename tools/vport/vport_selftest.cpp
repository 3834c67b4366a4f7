// vport_selftest: proves the vport driver under Wine the way the plug-in uses a
// port. It sets LPT1's behaviour itself through the registry before each open
// (the driver reads it again at every open) and expects the harness to have
// made LPT1 present and LPT2 absent before the session started. Prints one line
// per check; the exit code is the number of failed checks. It ends with the
// writes check, so the harness can read back what LPT1 received.
//
// "vport_selftest probe LPTn" instead probes one port as the plug-in's
// enumeration does and prints "LPTn: <id>", or "LPTn: cannot open" (exit 1).
#include "freestanding.h"

typedef unsigned long DWORD;
typedef int BOOL;
typedef void* HANDLE;
typedef void* HKEY;

struct OVERLAPPED {
    DWORD internal; // the NTSTATUS once the request is done
    DWORD internalHigh;
    DWORD offset;
    DWORD offsetHigh;
    HANDLE event;
};

#define WINAPI __stdcall
#define IMPORT extern "C" __declspec(dllimport)
IMPORT HANDLE WINAPI CreateFileA(const char*, DWORD, DWORD, void*, DWORD, DWORD, HANDLE);
IMPORT BOOL WINAPI CloseHandle(HANDLE);
IMPORT BOOL WINAPI DeviceIoControl(HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD*, OVERLAPPED*);
IMPORT BOOL WINAPI ReadFile(HANDLE, void*, DWORD, DWORD*, OVERLAPPED*);
IMPORT BOOL WINAPI WriteFile(HANDLE, const void*, DWORD, DWORD*, OVERLAPPED*);
IMPORT HANDLE WINAPI CreateEventA(void*, BOOL manualReset, BOOL initialState, const char*);
IMPORT DWORD WINAPI WaitForSingleObject(HANDLE, DWORD milliseconds);
IMPORT BOOL WINAPI CancelIo(HANDLE);
IMPORT BOOL WINAPI GetOverlappedResult(HANDLE, OVERLAPPED*, DWORD*, BOOL wait);
IMPORT DWORD WINAPI GetLastError();
IMPORT HANDLE WINAPI GetStdHandle(DWORD);
IMPORT void WINAPI ExitProcess(unsigned);
IMPORT char* WINAPI GetCommandLineA();
IMPORT long WINAPI RegOpenKeyExA(HKEY, const char*, DWORD, DWORD, HKEY*);
IMPORT long WINAPI RegQueryValueExA(HKEY, const char*, DWORD*, DWORD*, void*, DWORD*);
IMPORT long WINAPI RegSetValueExA(HKEY, const char*, DWORD, DWORD, const void*, DWORD);
IMPORT long WINAPI RegDeleteValueA(HKEY, const char*);
IMPORT long WINAPI RegCloseKey(HKEY);

namespace {

const HANDLE invalidHandle = reinterpret_cast<HANDLE>(-1);
const HKEY localMachine = reinterpret_cast<HKEY>(0x80000002);
constexpr DWORD genericReadWrite = 0xC0000000, openExisting = 3, flagOverlapped = 0x40000000;
constexpr DWORD waitTimeout = 0x102, regDword = 4, regBinary = 3, keyAllAccess = 0xF003F;
constexpr DWORD errorAccessDenied = 5, errorInvalidFunction = 1, errorInsufficientBuffer = 122,
                errorOperationAborted = 995, errorIoDevice = 1117;
constexpr DWORD ioctlSize = 0x00160010, ioctlId = 0x0016000C, ioctlRawId = 0x00160030,
                ioctlLegacyId = 0x00000011;
constexpr DWORD statusCancelled = 0xC0000120;

const char portKey[] = "System\\CurrentControlSet\\Services\\vport\\Parameters\\LPT1";
const char deviceId[] = "MFG:Vport;MDL:Selftest;CMD:1284;";
constexpr DWORD idLength = sizeof(deviceId) - 1;

int failures = 0;

// ---- output -----------------------------------------------------------------

void print(const char* text) {
    DWORD length = 0, written = 0;
    while (text[length])
        ++length;
    WriteFile(GetStdHandle(DWORD(-11)), text, length, &written, nullptr);
}

void printNumber(DWORD value) {
    char digits[12];
    int at = 11;
    digits[at] = 0;
    do {
        digits[--at] = char('0' + value % 10);
        value /= 10;
    } while (value);
    print(digits + at);
}

// Records one check; `got` and `wanted` are printed when it fails.
void check(const char* name, bool ok, DWORD got = 0, DWORD wanted = 0) {
    print(ok ? "ok   " : "FAIL ");
    print(name);
    if (!ok) {
        print(": got ");
        printNumber(got);
        print(", wanted ");
        printNumber(wanted);
        ++failures;
    }
    print("\n");
}

bool same(const void* a, const void* b, DWORD length) {
    for (DWORD i = 0; i < length; ++i)
        if (static_cast<const unsigned char*>(a)[i] != static_cast<const unsigned char*>(b)[i])
            return false;
    return true;
}

// ---- port settings ------------------------------------------------------------

struct Setting {
    const char* name;
    DWORD number;      // a REG_DWORD, unless bytes is set
    const void* bytes; // a REG_BINARY of `number` bytes
};

const char* const settingNames[] = {"DeviceId",   "ReportedSize",  "SizeQuery",   "IdQuery",
                                    "RawIdQuery", "LegacyIdQuery", "ShortBuffer", "Reply",
                                    "ReadEnd",    "ReadMode",      "ReadChunk",   "ReadDelay",
                                    "WriteMode",  "WriteChunk",    "WriteDelay",  "Received",
                                    "WriteSizes", "ReadSizes",     "Opens"};

// Replaces every setting and record of LPT1 with `settings` (plus the device ID).
void configure(const Setting* settings, int count) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(localMachine, portKey, 0, keyAllAccess, &key) != 0) {
        check("open LPT1's settings key", false);
        return;
    }
    for (const char* name : settingNames)
        RegDeleteValueA(key, name);
    RegSetValueExA(key, "DeviceId", 0, regBinary, deviceId, idLength);
    for (int i = 0; i < count; ++i) {
        const Setting& s = settings[i];
        if (s.bytes)
            RegSetValueExA(key, s.name, 0, regBinary, s.bytes, s.number);
        else
            RegSetValueExA(key, s.name, 0, regDword, &s.number, sizeof(DWORD));
    }
    RegCloseKey(key);
}

// Reads a recorded value of LPT1; returns its size in bytes (0 if missing).
DWORD recorded(const char* name, void* out, DWORD capacity) {
    HKEY key = nullptr;
    DWORD size = capacity;
    if (RegOpenKeyExA(localMachine, portKey, 0, keyAllAccess, &key) != 0)
        return 0;
    if (RegQueryValueExA(key, name, nullptr, nullptr, out, &size) != 0)
        size = 0;
    RegCloseKey(key);
    return size;
}

HANDLE openPort(const char* name, DWORD flags) {
    return CreateFileA(name, genericReadWrite, 0, nullptr, openExisting, flags, nullptr);
}

// ---- I/O as the plug-in does it -------------------------------------------------

struct Outcome {
    DWORD error; // 0 on success
    DWORD bytes;
    bool timedOut;
    DWORD status; // the request's final NTSTATUS
};

// One overlapped request waited for up to `waitMs`, cancelled after a timeout.
Outcome transfer(HANDLE port, bool write, void* buffer, DWORD length, DWORD waitMs) {
    OVERLAPPED request{};
    request.event = CreateEventA(nullptr, 1, 0, nullptr);
    Outcome outcome{};
    BOOL started = write ? WriteFile(port, buffer, length, nullptr, &request)
                         : ReadFile(port, buffer, length, nullptr, &request);
    if (!started && GetLastError() != 997 /*ERROR_IO_PENDING*/) {
        outcome.error = GetLastError();
    } else {
        if (WaitForSingleObject(request.event, waitMs) == waitTimeout) {
            outcome.timedOut = true;
            CancelIo(port);
        }
        if (!GetOverlappedResult(port, &request, &outcome.bytes, 1))
            outcome.error = GetLastError();
    }
    outcome.status = request.internal;
    CloseHandle(request.event);
    return outcome;
}

// The size+1 buffer and output length = size, as the plug-in's probe uses them.
struct Query {
    BOOL ok;
    DWORD error;
    DWORD bytes;
    unsigned char data[256];
};

Query query(DWORD code, DWORD outputLength) {
    Query result{};
    HANDLE port = openPort("LPT1", 0x80);
    result.ok =
        DeviceIoControl(port, code, nullptr, 0, result.data, outputLength, &result.bytes, nullptr);
    result.error = result.ok ? 0 : GetLastError();
    CloseHandle(port);
    return result;
}

// ---- checks -----------------------------------------------------------------------

void checkAbsentPort() {
    HANDLE port = openPort("LPT2", 0x80);
    check("absent LPT2 cannot be opened", port == invalidHandle);
    if (port != invalidHandle)
        CloseHandle(port);
}

struct QueryCase {
    const char* name;
    DWORD code;
    const char* setting;
    DWORD answer; // 0 answer, 1 fail, 2 zero bytes
    DWORD wantedBytes;
    DWORD wantedError;
};

constexpr DWORD rawLength = idLength + 2;
const QueryCase queryCases[] = {
    {"size query answers", ioctlSize, "SizeQuery", 0, 4, 0},
    {"size query fails", ioctlSize, "SizeQuery", 1, 0, errorInvalidFunction},
    {"size query answers 0 bytes", ioctlSize, "SizeQuery", 2, 0, 0},
    {"id query answers", ioctlId, "IdQuery", 0, idLength, 0},
    {"id query fails", ioctlId, "IdQuery", 1, 0, errorInvalidFunction},
    {"id query answers 0 bytes", ioctlId, "IdQuery", 2, 0, 0},
    {"raw id query answers", ioctlRawId, "RawIdQuery", 0, rawLength, 0},
    {"raw id query fails", ioctlRawId, "RawIdQuery", 1, 0, errorInvalidFunction},
    {"raw id query answers 0 bytes", ioctlRawId, "RawIdQuery", 2, 0, 0},
    {"legacy id query answers", ioctlLegacyId, "LegacyIdQuery", 0, idLength, 0},
    {"legacy id query fails", ioctlLegacyId, "LegacyIdQuery", 1, 0, errorInvalidFunction},
    {"legacy id query answers 0 bytes", ioctlLegacyId, "LegacyIdQuery", 2, 0, 0},
};

// What an answering query must hold: the size, the text, or length then text.
bool answerHolds(const QueryCase& c, const Query& q) {
    if (c.code == ioctlSize) {
        DWORD size = 0;
        memcpy(&size, q.data, 4);
        return size == rawLength;
    }
    if (c.code != ioctlRawId)
        return same(q.data, deviceId, idLength);
    return q.data[0] == 0 && q.data[1] == rawLength && same(q.data + 2, deviceId, idLength);
}

void checkQueries() {
    for (const QueryCase& c : queryCases) {
        Setting answer{c.setting, c.answer, nullptr};
        configure(&answer, 1);
        Query q = query(c.code, c.code == ioctlSize ? 4 : rawLength);
        check(c.name, (q.ok != 0) == (c.wantedError == 0) && q.error == c.wantedError, q.error,
              c.wantedError);
        check(c.name, q.bytes == c.wantedBytes, q.bytes, c.wantedBytes);
        if (c.answer == 0)
            check(c.name, answerHolds(c, q));
    }
}

void checkSizesAndShortBuffers() {
    Setting reported{"ReportedSize", 7, nullptr};
    configure(&reported, 1);
    Query q = query(ioctlSize, 4);
    DWORD size = 0;
    memcpy(&size, q.data, 4);
    check("reported size overrides the real one", q.ok && size == 7, size, 7);

    configure(nullptr, 0);
    q = query(ioctlId, 5);
    check("short buffer fails by default", !q.ok && q.error == errorInsufficientBuffer, q.error,
          errorInsufficientBuffer);
    Setting truncate{"ShortBuffer", 1, nullptr};
    configure(&truncate, 1);
    q = query(ioctlRawId, 5);
    check("short buffer truncates when asked", q.ok && q.bytes == 5 && q.data[2] == 'M', q.bytes,
          5);

    const char zeroLed[] = "\0ABC";
    Setting id{"DeviceId", 4, zeroLed};
    configure(&id, 1);
    q = query(ioctlId, 16);
    check("device id may start with a zero byte", q.ok && q.bytes == 4 && same(q.data, zeroLed, 4),
          q.bytes, 4);
}

void checkSecondHandle() {
    configure(nullptr, 0);
    HANDLE first = openPort("LPT1", flagOverlapped);
    HANDLE second = openPort("LPT1", flagOverlapped);
    check("first open succeeds", first != invalidHandle);
    DWORD bytes = 0, size = 0;
    BOOL ok = DeviceIoControl(second, ioctlSize, nullptr, 0, &size, 4, &bytes, nullptr);
    DWORD error = ok ? 0 : GetLastError();
    if (second == invalidHandle)
        error = errorAccessDenied; // what Windows does at the open itself
    check("second handle is refused", error == errorAccessDenied, error, errorAccessDenied);
    char byte = 0;
    Outcome write = transfer(second, true, &byte, 1, 5000);
    if (second == invalidHandle)
        write.error = errorAccessDenied;
    check("second handle cannot write", write.error == errorAccessDenied, write.error,
          errorAccessDenied);
    CloseHandle(second);
    CloseHandle(first);
    DWORD opens = 0;
    recorded("Opens", &opens, sizeof(opens));
    check("only the first open counts", opens == 1, opens, 1);
}

void checkWrites() {
    configure(nullptr, 0);
    static unsigned char data[10000];
    for (DWORD i = 0; i < sizeof(data); ++i)
        data[i] = (unsigned char)(i * 7 + i / 256);
    HANDLE port = openPort("LPT1", flagOverlapped);
    for (DWORD at = 0; at < sizeof(data); at += 4096) {
        DWORD length = sizeof(data) - at < 4096 ? sizeof(data) - at : 4096;
        Outcome o = transfer(port, true, data + at, length, 10000);
        check("write completes whole", o.error == 0 && o.bytes == length, o.bytes, length);
    }
    CloseHandle(port);
    DWORD sizes[8] = {};
    DWORD count = recorded("WriteSizes", sizes, sizeof(sizes)) / 4;
    check("three write requests recorded", count == 3, count, 3);
    check("first request size", sizes[0] == 4096, sizes[0], 4096);
    check("second request size", sizes[1] == 4096, sizes[1], 4096);
    check("last request size", sizes[2] == 1808, sizes[2], 1808);
    static unsigned char received[12000];
    DWORD got = recorded("Received", received, sizeof(received));
    check("device received every byte", got == sizeof(data) && same(received, data, got), got,
          sizeof(data));
}

void checkPartialWrite() {
    Setting chunk{"WriteChunk", 1000, nullptr};
    configure(&chunk, 1);
    static unsigned char data[4096];
    HANDLE port = openPort("LPT1", flagOverlapped);
    Outcome o = transfer(port, true, data, sizeof(data), 10000);
    CloseHandle(port);
    check("write takes at most WriteChunk bytes", o.error == 0 && o.bytes == 1000, o.bytes, 1000);
}

void checkReadsThenTimeout() {
    const char reply[] = "HELLO WORLD";
    Setting settings[] = {{"Reply", 11, reply}, {"ReadChunk", 4, nullptr}};
    configure(settings, 2);
    HANDLE port = openPort("LPT1", flagOverlapped);
    char buffer[4096];
    const char* wanted[] = {"HELL", "O WO", "RLD"};
    for (const char* piece : wanted) {
        DWORD length = piece[3] ? 4 : 3;
        Outcome o = transfer(port, false, buffer, sizeof(buffer), 10000);
        check("read returns the next reply piece",
              o.error == 0 && o.bytes == length && same(buffer, piece, length), o.bytes, length);
    }
    Outcome o = transfer(port, false, buffer, sizeof(buffer), 100);
    check("read after the reply times out", o.timedOut);
    check("timed-out read ends cancelled", o.error == errorOperationAborted, o.error,
          errorOperationAborted);
    CloseHandle(port);
    DWORD sizes[8] = {};
    DWORD count = recorded("ReadSizes", sizes, sizeof(sizes)) / 4;
    check("four read requests recorded", count == 4 && sizes[3] == 4096, count, 4);
}

struct ReadCase {
    const char* name;
    Setting setting;
    DWORD waitMs;
    DWORD wantedError;
    DWORD wantedBytes;
    bool wantedTimeout;
};

const ReadCase readCases[] = {
    {"read mode empty completes with 0 bytes", {"ReadMode", 1, nullptr}, 10000, 0, 0, false},
    {"read mode fail fails", {"ReadMode", 3, nullptr}, 10000, errorIoDevice, 0, false},
    {"read mode never times out", {"ReadMode", 2, nullptr}, 100, errorOperationAborted, 0, true},
    {"read end empty gives the reply", {"ReadEnd", 1, nullptr}, 10000, 0, 2, false},
    {"short read delay still delivers", {"ReadDelay", 20, nullptr}, 10000, 0, 2, false},
    {"long read delay times out",
     {"ReadDelay", 60000, nullptr},
     100,
     errorOperationAborted,
     0,
     true},
};

void checkReadModes() {
    for (const ReadCase& c : readCases) {
        Setting settings[] = {{"Reply", 2, "AB"}, c.setting};
        configure(settings, 2);
        HANDLE port = openPort("LPT1", flagOverlapped);
        char buffer[16];
        Outcome o = transfer(port, false, buffer, sizeof(buffer), c.waitMs);
        CloseHandle(port);
        check(c.name, o.error == c.wantedError && o.timedOut == c.wantedTimeout, o.error,
              c.wantedError);
        check(c.name, o.bytes == c.wantedBytes, o.bytes, c.wantedBytes);
    }
}

// Wine sends IRP_MJ_CLOSE with the read still pending; the read must still end.
void checkCloseWithPendingRead() {
    Setting never{"ReadMode", 2, nullptr};
    configure(&never, 1);
    HANDLE port = openPort("LPT1", flagOverlapped);
    OVERLAPPED request{};
    request.event = CreateEventA(nullptr, 1, 0, nullptr);
    char buffer[16];
    ReadFile(port, buffer, sizeof(buffer), nullptr, &request);
    CloseHandle(port);
    DWORD wait = WaitForSingleObject(request.event, 10000);
    check("close ends a pending read", wait == 0, wait, 0);
    check("closed read ends cancelled", request.internal == statusCancelled, request.internal,
          statusCancelled);
    CloseHandle(request.event);
}

// ---- probe mode -------------------------------------------------------------------

// The enumeration sequence: size query (4096 if it fails or says 0), then the
// three ID queries in turn with output length = size; the first with bytes wins.
unsigned probe(const char* name) {
    print(name);
    HANDLE port = openPort(name, 0x80);
    if (port == invalidHandle) {
        print(": cannot open\n");
        return 1;
    }
    DWORD size = 0, bytes = 0;
    if (!DeviceIoControl(port, ioctlSize, nullptr, 0, &size, 4, &bytes, nullptr) || !bytes)
        size = 4096;
    static char text[65536 + 1];
    if (size > 65536)
        size = 65536;
    const DWORD codes[] = {ioctlId, ioctlRawId, ioctlLegacyId};
    bytes = 0;
    for (DWORD code : codes)
        if (DeviceIoControl(port, code, nullptr, 0, text, size, &bytes, nullptr) && bytes)
            break;
    CloseHandle(port);
    text[bytes] = 0;
    if (bytes && text[0] == 0)
        text[0] = '*';
    print(": ");
    print(text);
    print("\n");
    return 0;
}

// The word after " probe " on the command line, if there is one.
const char* probeArgument() {
    const char* line = GetCommandLineA();
    for (const char* at = line; *at; ++at)
        if (same(at, " probe ", 7) && at[7])
            return at + 7;
    return nullptr;
}

} // namespace

extern "C" void WINAPI start() {
    if (const char* name = probeArgument())
        ExitProcess(probe(name));
    checkAbsentPort();
    checkQueries();
    checkSizesAndShortBuffers();
    checkSecondHandle();
    checkPartialWrite();
    checkReadsThenTimeout();
    checkReadModes();
    checkCloseWithPendingRead();
    checkWrites();
    print(failures ? "vport selftest FAILED\n" : "vport selftest passed\n");
    ExitProcess(unsigned(failures));
}
