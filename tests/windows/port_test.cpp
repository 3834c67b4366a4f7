// Drives quillport.dll the way a host does: loaded with LoadLibraryA, its
// exports fetched with GetProcAddress, ports used only through their virtual
// table. Named pipes that this program serves stand in for devices; a
// temporary file stands in for a device that only one handle may hold.
#include "check.h"
#include "pipe_server.h"

#include "quillport.h"

namespace {

constexpr DWORD kChunk = 4096;
constexpr DWORD kLongLength = 2 * kChunk + 100;
constexpr DWORD kReplyLength = 6000;

CreatePortFunction createPort;

char sent[kLongLength];
char received[kLongLength];

// The pattern does not repeat at the chunk size, so a chunk sent twice or
// taken from the wrong place shows.
char PatternByte(DWORD index, DWORD seed) {
    return static_cast<char>((index * 7 + seed) % 251);
}

void Fill(char* data, DWORD length, DWORD seed) {
    for (DWORD i = 0; i < length; ++i)
        data[i] = PatternByte(i, seed);
}

// Whether data holds the pattern from position `from` on.
bool Matches(const char* data, DWORD length, DWORD from, DWORD seed) {
    for (DWORD i = 0; i < length; ++i)
        if (data[i] != PatternByte(from + i, seed))
            return false;
    return true;
}

void TestExports(HMODULE dll) {
    check::Section("exports by name and by ordinal");
    FARPROC create = GetProcAddress(dll, "CreatePort");
    FARPROC enumerate = GetProcAddress(dll, "EnumerateDevices");
    CHECK(create != nullptr);
    CHECK(enumerate != nullptr);
    CHECK(create != enumerate);
    CHECK(GetProcAddress(dll, reinterpret_cast<const char*>(uintptr_t{2})) == create);
    CHECK(GetProcAddress(dll, reinterpret_cast<const char*>(uintptr_t{1})) == enumerate);
    CHECK(GetProcAddress(dll, reinterpret_cast<const char*>(uintptr_t{3})) == nullptr);
    createPort = reinterpret_cast<CreatePortFunction>(create);
    REQUIRE(createPort != nullptr);
    CHECK(createPort(nullptr) == nullptr);
}

// Serves a pipe, opens a port on it and hands both to body.
void WithPipePort(const char* suffix, void (*body)(PipeServer*, DevicePort*)) {
    PipeServer server;
    if (CHECK(CreatePipeServer(&server, suffix))) {
        DevicePort* port = createPort(server.name);
        if (CHECK(port != nullptr) && CHECK_EQ(port->Open(), 1) && CHECK(AcceptClient(&server)))
            body(&server, port);
        delete port;
    }
    ClosePipeServer(&server);
}

void CheckLongWrite(PipeServer* server, DevicePort* port) {
    Fill(sent, kLongLength, 1);
    DWORD transferred = 0;
    CHECK_EQ(port->Write(sent, kLongLength, &transferred, 2000), 1);
    CHECK_EQ(transferred, kLongLength);
    // Every request of the port arrives as one message.
    const DWORD sizes[] = {kChunk, kChunk, 100};
    DWORD offset = 0;
    for (DWORD size : sizes) {
        PipeOutcome got = ReadMessage(server, received, sizeof received, 2000);
        CHECK_EQ(got.error, 0);
        CHECK_EQ(got.bytes, size);
        CHECK(Matches(received, got.bytes, offset, 1));
        offset += size;
    }
}

void CheckLongRead(PipeServer* server, DevicePort* port) {
    Fill(sent, kReplyLength, 2);
    CHECK_EQ(WriteMessage(server, sent, kReplyLength).error, 0);
    DWORD transferred = 0;
    CHECK_EQ(port->Read(received, kReplyLength, &transferred, 2000), 1);
    CHECK_EQ(transferred, kReplyLength);
    CHECK(Matches(received, kReplyLength, 0, 2));
}

// None of these may put a message on the pipe: the first one the server
// sees must be "end".
void CheckCallsThatSendNothing(PipeServer* server, DevicePort* port) {
    DWORD transferred = 55;
    CHECK_EQ(port->Write("x", 0, &transferred, 1000), 1);
    CHECK_EQ(transferred, 0);
    CHECK_EQ(port->Write("lost", 4, nullptr, 1000), 0);
    CHECK_EQ(port->Read(received, 4, nullptr, 1000), 0);
    // A second connection to this one-instance pipe would be refused.
    CHECK_EQ(port->Open(), 1);
    CHECK_EQ(port->Write("end", 3, &transferred, 1000), 1);
    PipeOutcome got = ReadMessage(server, received, sizeof received, 2000);
    CHECK_EQ(got.bytes, 3);
    CHECK(received[0] == 'e');
}

void CheckExchange(PipeServer* server, DevicePort* port) {
    CheckLongWrite(server, port);
    CheckLongRead(server, port);
    CheckCallsThatSendNothing(server, port);
}

void CheckReadTimeout(PipeServer* server, DevicePort* port) {
    DWORD transferred = 55;
    DWORD start = GetTickCount();
    CHECK_EQ(port->Read(received, 16, &transferred, 200), 0);
    DWORD elapsed = GetTickCount() - start;
    CHECK(elapsed >= 150);
    CHECK(elapsed < 2000);
    CHECK_EQ(transferred, 0);

    // The cancelled request must not linger and take the next message.
    Fill(sent, 16, 3);
    CHECK_EQ(WriteMessage(server, sent, 16).error, 0);
    CHECK_EQ(port->Read(received, 16, &transferred, 2000), 1);
    CHECK_EQ(transferred, 16);
    CHECK(Matches(received, 16, 0, 3));

    // One limit covers the whole call: 10 bytes come, the other 10 never do.
    CHECK_EQ(WriteMessage(server, sent, 10).error, 0);
    CHECK_EQ(port->Read(received, 20, &transferred, 200), 0);
    CHECK_EQ(transferred, 10);
}

void TestPipeTransfers() {
    check::Section("write and read over a pipe");
    WithPipePort("exchange", CheckExchange);
    check::Section("read that times out");
    WithPipePort("timeout", CheckReadTimeout);
}

void TestOpenBeforeDeviceExists() {
    check::Section("open before the device exists");
    char name[96];
    PipeName(name, "late");
    DevicePort* port = createPort(name);
    REQUIRE(port != nullptr);
    CHECK_EQ(port->Open(), 0);
    PipeServer server;
    if (CHECK(CreatePipeServer(&server, "late"))) {
        DWORD transferred = 0;
        CHECK_EQ(port->Open(), 1);
        CHECK(AcceptClient(&server));
        CHECK_EQ(port->Write("hello", 5, &transferred, 1000), 1);
        CHECK_EQ(ReadMessage(&server, received, sizeof received, 2000).bytes, 5);
    }
    delete port;
    ClosePipeServer(&server);
}

// Calls by slot number prove the order of the table that the DLL built, not
// just the order that this program's compiler reads from the header.
typedef int(__thiscall* PlainSlot)(DevicePort* self);
typedef int(__thiscall* TransferSlot)(DevicePort* self, void* buffer, DWORD length,
                                      DWORD* transferred, DWORD timeout);

void* Slot(DevicePort* port, int index) {
    void* const* table = *reinterpret_cast<void* const* const*>(port);
    return table[index];
}

void CheckSlots(PipeServer* server, DevicePort* port) {
    PlainSlot open = reinterpret_cast<PlainSlot>(Slot(port, 1));
    TransferSlot read = reinterpret_cast<TransferSlot>(Slot(port, 2));
    TransferSlot write = reinterpret_cast<TransferSlot>(Slot(port, 3));
    PlainSlot close = reinterpret_cast<PlainSlot>(Slot(port, 4));
    REQUIRE(open(port) == 1);
    REQUIRE(AcceptClient(server));
    static char ping[] = "ping";
    DWORD transferred = 0;
    CHECK_EQ(write(port, ping, 4, &transferred, 1000), 1);
    PipeOutcome got = ReadMessage(server, received, sizeof received, 2000);
    CHECK(got.bytes == 4 && received[1] == 'i');
    CHECK_EQ(WriteMessage(server, "pong", 4).error, 0);
    CHECK_EQ(read(port, received, 4, &transferred, 1000), 1);
    CHECK(transferred == 4 && received[1] == 'o');
    CHECK_EQ(close(port), 1);
    // Only a closed client end breaks the pipe for the server.
    CHECK_EQ(ReadMessage(server, received, sizeof received, 2000).error, ERROR_BROKEN_PIPE);
}

void TestTableBySlot() {
    check::Section("virtual table by slot number");
    PipeServer server;
    if (CHECK(CreatePipeServer(&server, "slots"))) {
        DevicePort* port = createPort(server.name);
        if (CHECK(port != nullptr))
            CheckSlots(&server, port);
        delete port;
    }
    ClosePipeServer(&server);
}

void TestExclusiveOpen(const char* path) {
    check::Section("one port at a time on a device");
    DevicePort* first = createPort(path);
    DevicePort* second = createPort(path);
    if (CHECK(first != nullptr && second != nullptr)) {
        CHECK_EQ(first->Open(), 1);
        // Opening the file again would be refused: nobody shares it.
        CHECK_EQ(first->Open(), 1);
        CHECK_EQ(second->Open(), 0);
        CHECK_EQ(first->Close(), 1);
        CHECK_EQ(second->Open(), 1);
        CHECK_EQ(second->Close(), 1);
        CHECK_EQ(second->Close(), 1);
    }
    delete first;
    delete second;
}

void CheckMovesNothing(DevicePort* port) {
    char byte = 'x';
    DWORD transferred = 55;
    CHECK_EQ(port->Write(&byte, 1, &transferred, 100), 0);
    CHECK_EQ(transferred, 0);
    transferred = 55;
    CHECK_EQ(port->Read(&byte, 1, &transferred, 100), 0);
    CHECK_EQ(transferred, 0);
}

void TestClosedPort(const char* path) {
    check::Section("a closed port moves nothing");
    DevicePort* port = createPort(path);
    REQUIRE(port != nullptr);
    CHECK_EQ(port->Close(), 1);
    CheckMovesNothing(port);
    if (CHECK_EQ(port->Open(), 1) && CHECK_EQ(port->Close(), 1))
        CheckMovesNothing(port);
    delete port;
}

bool CountHandles(DWORD* count) {
    return GetProcessHandleCount(GetCurrentProcess(), count) != 0;
}

// Whether the system's handle count follows the handles this process opens.
bool HandleCountWorks() {
    DWORD withEvent = 0;
    DWORD without = 0;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool counted = CountHandles(&withEvent);
    CloseHandle(event);
    return counted && CountHandles(&without) && without + 1 == withEvent;
}

void TestDeleteClosesHandles(const char* path, const char* missing) {
    check::Section("delete closes the port's handles");
    bool counting = HandleCountWorks();
    if (!counting)
        check::Say("skip: GetProcessHandleCount does not follow handles here");
    DWORD before = 0;
    DWORD after = 0;
    CountHandles(&before);
    DevicePort* open = createPort(path);
    DevicePort* failed = createPort(missing);
    REQUIRE(open != nullptr && failed != nullptr);
    CHECK_EQ(open->Open(), 1);
    // A failed open keeps its event, which delete must close as well.
    CHECK_EQ(failed->Open(), 0);
    delete open;
    delete failed;
    if (counting && CHECK(CountHandles(&after)))
        CHECK_EQ(after, before);
    DevicePort* next = createPort(path);
    REQUIRE(next != nullptr);
    CHECK_EQ(next->Open(), 1);
    delete next;
}

void TestWithTempFile() {
    char path[300];
    char missing[300];
    DWORD length = GetTempPathA(260, path);
    REQUIRE(length > 0 && length < 260);
    lstrcpynA(missing, path, sizeof missing);
    wsprintfA(path + length, "quillport-test-%lu.tmp", GetCurrentProcessId());
    wsprintfA(missing + length, "quillport-test-%lu-missing.tmp", GetCurrentProcessId());
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE);
    CloseHandle(file);
    TestExclusiveOpen(path);
    TestClosedPort(path);
    TestDeleteClosesHandles(path, missing);
    // Deleting fails while any handle still holds the file unshared.
    CHECK(DeleteFileA(path));
}

} // namespace

extern "C" void WINAPI PortTestEntry() {
    HMODULE dll = LoadLibraryA("quillport.dll");
    if (CHECK(dll != nullptr)) {
        TestExports(dll);
        if (createPort != nullptr) {
            TestPipeTransfers();
            TestOpenBeforeDeviceExists();
            TestTableBySlot();
            TestWithTempFile();
        }
        CHECK(FreeLibrary(dll));
    }
    ExitProcess(check::Finish());
}
