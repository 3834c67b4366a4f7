// End-to-end checks of the unmodified quillport.dll under Wine. The program
// loads the DLL as a host does and runs the one scenario named on its command
// line; tests/e2e/run.sh sets up the virtual ports (vport) beforehand and reads
// the driver's records afterwards. Each check prints a line, and the exit code
// is 0 only when every check passed.
#include "check.h"

#include "quillport.h"

extern "C" QUILLPORT_IMPORT char* WINAPI GetCommandLineA(void);

namespace {

constexpr DWORD kLongWrite = 10000;
constexpr DWORD kLongRead = 6000;

EnumerateDevicesFunction enumerate;
CreatePortFunction createPort;

char data[kLongWrite];

// ---- texts --------------------------------------------------------------

bool SameText(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

void CopyText(char* to, const char* from, int capacity) {
    int i = 0;
    for (; from[i] != '\0' && i + 1 < capacity; ++i)
        to[i] = from[i];
    to[i] = '\0';
}

// The text with every byte outside printable ASCII shown as \xNN.
const char* Escaped(const char* text, char* out) {
    char* at = out;
    for (int i = 0; text[i] != '\0' && i < 100; ++i) {
        unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte >= 0x7F)
            at += wsprintfA(at, "\\x%02x", byte);
        else
            *at++ = static_cast<char>(byte);
    }
    *at = '\0';
    return out;
}

bool CheckText(const char* actual, const char* expected, int line, const char* expression) {
    char escaped[420];
    char claim[520];
    wsprintfA(claim, "%s is \"%s\"", expression, Escaped(expected, escaped));
    bool same = SameText(actual, expected);
    if (!same) {
        char got[440];
        wsprintfA(got, "  got \"%s\"", Escaped(actual, escaped));
        check::Say(got);
    }
    return check::Report(same, __FILE__, line, claim);
}

#define CHECK_TEXT(actual, expected) CheckText((actual), (expected), __LINE__, #actual)

// ---- sinks --------------------------------------------------------------

// One call of OnDeviceFound, copied: the texts live only during the call.
struct Report {
    char manufacturer[64];
    char model[64];
    char portName[16];
    char deviceId[64];
    bool samePath; // devicePath was the very pointer passed as portName
};

// Keeps every report and answers each with a fixed value.
class RecordingSink : public DeviceSink {
  public:
    explicit RecordingSink(int answer) : answer(answer) {}

    int QUILLPORT_MEMBER OnDeviceFound(const char* manufacturer, const char* model,
                                       const char* portName, const char* devicePath,
                                       const char* deviceId) override {
        char line[300];
        char escaped[420];
        wsprintfA(line, "   report %s: id \"%s\"", portName, Escaped(deviceId, escaped));
        check::Say(line);
        if (count < 4) {
            Report& report = reports[count];
            CopyText(report.manufacturer, manufacturer, sizeof report.manufacturer);
            CopyText(report.model, model, sizeof report.model);
            CopyText(report.portName, portName, sizeof report.portName);
            CopyText(report.deviceId, deviceId, sizeof report.deviceId);
            report.samePath = devicePath == portName;
        }
        ++count;
        return answer;
    }

    int answer;
    int count = 0;
    Report reports[4];
};

// A call through any entry of this table ends the program as a failure.
void SinkTouched() {
    check::Say("FAIL the sink was called although no device should be reported");
    ExitProcess(3);
}

void* const poisonedTable[] = {
    reinterpret_cast<void*>(SinkTouched), reinterpret_cast<void*>(SinkTouched),
    reinterpret_cast<void*>(SinkTouched), reinterpret_cast<void*>(SinkTouched)};

struct PoisonedSink {
    void* const* table;
};

// Enumerates with a sink that must never be used; the result must be 0.
void CheckNothingReported() {
    PoisonedSink sink = {poisonedTable};
    CHECK_EQ(enumerate(reinterpret_cast<DeviceSink*>(&sink)), 0);
}

void CheckReport(const Report& report, const char* portName, const char* manufacturer,
                 const char* model, const char* deviceId) {
    CHECK_TEXT(report.portName, portName);
    CHECK_TEXT(report.manufacturer, manufacturer);
    CHECK_TEXT(report.model, model);
    CHECK_TEXT(report.deviceId, deviceId);
    CHECK(report.samePath);
}

// Enumerates and expects the one device that run.sh puts on LPT2.
void CheckAcmeOnly(const char* deviceId) {
    RecordingSink sink(1);
    CHECK_EQ(enumerate(&sink), 1);
    if (CHECK_EQ(sink.count, 1))
        CheckReport(sink.reports[0], "LPT2", "Acme", "P100", deviceId);
}

// ---- enumeration scenarios ------------------------------------------------

void Acme() {
    check::Section("the Acme device alone on LPT2");
    CheckAcmeOnly("MFG:Acme");
    check::Section("a null sink probes nothing");
    CHECK_EQ(enumerate(nullptr), 0);
}

void GoOn() {
    check::Section("devices on LPT1 and LPT3, a sink that goes on");
    // Only the high half is set: the whole 32-bit answer counts.
    RecordingSink sink(0x10000);
    CHECK_EQ(enumerate(&sink), 1);
    if (CHECK_EQ(sink.count, 2)) {
        CheckReport(sink.reports[0], "LPT1", "One", "A1", "MFG:One");
        CheckReport(sink.reports[1], "LPT3", "Three", "C3", "MFG:Three");
    }
}

void StopFirst() {
    check::Section("a sink that answers 0 on LPT1");
    RecordingSink sink(0);
    CHECK_EQ(enumerate(&sink), 1);
    if (CHECK_EQ(sink.count, 1))
        CheckReport(sink.reports[0], "LPT1", "One", "A1", "MFG:One");
}

void ModelKey() {
    check::Section("a MODEL: field instead of MDL:");
    RecordingSink sink(1);
    CHECK_EQ(enumerate(&sink), 1);
    if (CHECK_EQ(sink.count, 1))
        CheckReport(sink.reports[0], "LPT1", "Zenith", "Z-9 Dot Matrix", "MFG:Zenith");
}

void Nothing() {
    check::Section("no device to report");
    CheckNothingReported();
}

void RawId() {
    check::Section("only the raw ID query answers");
    // Its reply starts with a two-byte big-endian length counting itself: a
    // zero high byte, which becomes "*", then the low byte.
    const char id[] = "MFG:Acme;MDL:P100;";
    char expected[16] = {'*', static_cast<char>(sizeof id - 1 + 2)};
    CopyText(expected + 2, "MFG:Acme", sizeof expected - 2);
    CheckAcmeOnly(expected);
}

void LeadByte(UINT codePage, const char* manufacturer) {
    char line[64];
    wsprintfA(line, "   ANSI code page %u", GetACP());
    check::Say(line);
    if (!CHECK_EQ(GetACP(), codePage))
        return;
    RecordingSink sink(1);
    CHECK_EQ(enumerate(&sink), 1);
    if (CHECK_EQ(sink.count, 1))
        CheckReport(sink.reports[0], "LPT2", manufacturer, "P1", "MDL:P1");
}

void LeadByte932() {
    check::Section("a lead byte before ';' under code page 932");
    LeadByte(932, "Ac\x82;X");
}

void LeadByte1252() {
    check::Section("the same ID under code page 1252");
    LeadByte(1252, "Ac\x82");
}

void HeldPort() {
    check::Section("an open DevicePort hides its port from enumeration");
    CheckAcmeOnly("MFG:Acme");
    DevicePort* port = createPort("LPT2");
    REQUIRE(port != nullptr);
    if (CHECK_EQ(port->Open(), 1)) {
        CheckNothingReported();
        DWORD transferred = 0;
        CHECK_EQ(port->Write("held", 4, &transferred, 2000), 1);
        CHECK_EQ(transferred, 4);
    }
    delete port;
    check::Section("the port is reported again once released");
    CheckAcmeOnly("MFG:Acme");
}

// ---- DevicePort scenarios -------------------------------------------------

// The same bytes as run.sh's pattern: no two 4096-byte chunks are alike.
char PatternByte(DWORD index) {
    return static_cast<char>(index * 7 + index / 256);
}

bool HoldsPattern(const char* bytes, DWORD length) {
    for (DWORD i = 0; i < length; ++i)
        if (bytes[i] != PatternByte(i))
            return false;
    return true;
}

// Opens LPT2 and hands the port to body.
void WithPort(void (*body)(DevicePort*)) {
    DevicePort* port = createPort("LPT2");
    if (CHECK(port != nullptr) && CHECK_EQ(port->Open(), 1))
        body(port);
    delete port;
}

void CheckLongWrite(DevicePort* port) {
    for (DWORD i = 0; i < kLongWrite; ++i)
        data[i] = PatternByte(i);
    DWORD transferred = 0;
    CHECK_EQ(port->Write(data, kLongWrite, &transferred, 5000), 1);
    CHECK_EQ(transferred, kLongWrite);
}

void LongWrite() {
    check::Section("a write of 10000 bytes");
    WithPort(CheckLongWrite);
}

void CheckPartialRead(DevicePort* port) {
    DWORD transferred = 0;
    CHECK_EQ(port->Read(data, kLongRead, &transferred, 5000), 1);
    CHECK_EQ(transferred, kLongRead);
    CHECK(HoldsPattern(data, kLongRead));
}

void ReadPartial() {
    check::Section("a reply that comes in parts");
    WithPort(CheckPartialRead);
}

// Reads `length` bytes with `timeout`; `elapsed` gets the milliseconds taken.
int TimedRead(DevicePort* port, DWORD length, DWORD* transferred, DWORD timeout, DWORD* elapsed) {
    DWORD start = GetTickCount();
    int result = port->Read(data, length, transferred, timeout);
    *elapsed = GetTickCount() - start;
    return result;
}

void CheckReadTimeout(DevicePort* port) {
    DWORD transferred = 55;
    DWORD elapsed = 0;
    // run.sh delays the reply "hello" by 1000 ms.
    CHECK_EQ(TimedRead(port, 5, &transferred, 200, &elapsed), 0);
    CHECK(elapsed >= 150 && elapsed < 900);
    CHECK_EQ(transferred, 0);
    CHECK_EQ(port->Write("ok", 2, &transferred, 2000), 1);
    // The cancelled request took nothing, so the whole reply is still there.
    CHECK_EQ(TimedRead(port, 5, &transferred, 5000, &elapsed), 1);
    CHECK_EQ(transferred, 5);
    CHECK(data[0] == 'h' && data[4] == 'o');
}

void ReadTimeout() {
    check::Section("a read that times out, then the port goes on");
    WithPort(CheckReadTimeout);
}

void CheckReadNeverEnds(DevicePort* port) {
    DWORD transferred = 0;
    DWORD elapsed = 0;
    // run.sh offers ten bytes, after which reads stay pending.
    CHECK_EQ(TimedRead(port, 20, &transferred, 200, &elapsed), 0);
    CHECK(elapsed >= 150 && elapsed < 2000);
    CHECK_EQ(transferred, 10);
    CHECK_EQ(port->Write("ok", 2, &transferred, 2000), 1);
    CHECK_EQ(transferred, 2);
}

void ReadNeverEnds() {
    check::Section("a read whose rest never comes");
    WithPort(CheckReadNeverEnds);
}

void CheckEmptyRead(DevicePort* port) {
    DWORD transferred = 55;
    DWORD elapsed = 0;
    CHECK_EQ(TimedRead(port, 16, &transferred, 10000, &elapsed), 0);
    CHECK(elapsed < 2000);
    CHECK_EQ(transferred, 0);
}

void ReadEmpty() {
    check::Section("a read that completes with no bytes");
    WithPort(CheckEmptyRead);
}

// ---- without the driver ---------------------------------------------------

// Whether a DevicePort can open the device.
bool PortOpens(const char* name) {
    DevicePort* port = createPort(name);
    int opened = port != nullptr ? port->Open() : 0;
    delete port;
    return opened == 1;
}

void NoPorts() {
    check::Section("no parallel ports at all");
    const char* const names[] = {"LPT1", "LPT2", "LPT3", "LPT4"};
    for (const char* name : names)
        CHECK(!PortOpens(name));
    CheckNothingReported();
}

void NullPort() {
    check::Section("LPT1 mapped to /dev/null: it opens but gives no ID");
    CHECK(PortOpens("LPT1"));
    CheckNothingReported();
}

void Exports(HMODULE dll) {
    check::Section("EnumerateDevices by name and by ordinal 1");
    FARPROC byName = GetProcAddress(dll, "EnumerateDevices");
    CHECK(byName != nullptr);
    CHECK(GetProcAddress(dll, reinterpret_cast<const char*>(uintptr_t{1})) == byName);
    CHECK(GetProcAddress(dll, reinterpret_cast<const char*>(uintptr_t{2})) ==
          GetProcAddress(dll, "CreatePort"));
}

// ---- main -----------------------------------------------------------------

struct Scenario {
    const char* name;
    void (*run)();
};

const Scenario scenarios[] = {
    {"acme", Acme},
    {"go_on", GoOn},
    {"stop_first", StopFirst},
    {"model_key", ModelKey},
    {"nothing", Nothing},
    {"raw_id", RawId},
    {"lead_byte_932", LeadByte932},
    {"lead_byte_1252", LeadByte1252},
    {"held_port", HeldPort},
    {"long_write", LongWrite},
    {"read_partial", ReadPartial},
    {"read_timeout", ReadTimeout},
    {"read_never_ends", ReadNeverEnds},
    {"read_empty", ReadEmpty},
    {"no_ports", NoPorts},
    {"null_port", NullPort},
};

// The first argument on the command line, cut at the next blank.
const char* ScenarioName(char* commandLine) {
    char* at = commandLine;
    if (*at == '"') {
        ++at;
        while (*at != '\0' && *at != '"')
            ++at;
        if (*at == '"')
            ++at;
    }
    while (*at != '\0' && *at != ' ')
        ++at;
    while (*at == ' ')
        ++at;
    char* name = at;
    while (*at != '\0' && *at != ' ')
        ++at;
    *at = '\0';
    return name;
}

void Run(HMODULE dll, const char* name) {
    enumerate = reinterpret_cast<EnumerateDevicesFunction>(GetProcAddress(dll, "EnumerateDevices"));
    createPort = reinterpret_cast<CreatePortFunction>(GetProcAddress(dll, "CreatePort"));
    REQUIRE(enumerate != nullptr && createPort != nullptr);
    if (SameText(name, "exports"))
        return Exports(dll);
    for (const Scenario& scenario : scenarios)
        if (SameText(name, scenario.name))
            return scenario.run();
    check::Say("usage: quillport_e2e_test SCENARIO");
    check::Report(false, __FILE__, __LINE__, "a known scenario name");
}

} // namespace

extern "C" void WINAPI E2eTestEntry() {
    const char* name = ScenarioName(GetCommandLineA());
    HMODULE dll = LoadLibraryA("quillport.dll");
    if (CHECK(dll != nullptr)) {
        Run(dll, name);
        CHECK(FreeLibrary(dll));
    }
    ExitProcess(check::Finish());
}
