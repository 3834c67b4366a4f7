// A small host, built like any 32-bit Windows program that uses quillport:
// it loads the DLL, lists what EnumerateDevices reports, and sends a job to
// the first device found through a DevicePort.
#include "quillport.h"
#include "win32_test.h"

namespace {

char line[1025]; // wsprintfA writes at most 1024 characters

void Say(const char* text) {
    DWORD length = 0;
    while (text[length] != '\0')
        ++length;
    DWORD written = 0;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    WriteFile(out, text, length, &written, nullptr);
    WriteFile(out, "\r\n", 2, &written, nullptr);
}

// Prints each report and keeps the first port's name (the texts die with the call).
class ListingSink : public DeviceSink {
  public:
    int QUILLPORT_MEMBER OnDeviceFound(const char* manufacturer, const char* model,
                                       const char* portName, const char*,
                                       const char* deviceId) override {
        wsprintfA(line, "  %s: %s %s  (ID text \"%s\")", portName, manufacturer, model, deviceId);
        Say(line);
        if (firstPort[0] == '\0')
            lstrcpynA(firstPort, portName, sizeof firstPort);
        ++count;
        return 1;
    }

    char firstPort[16] = {};
    int count = 0;
};

// A plain-text job long enough to need three 4096-byte requests.
char job[12000];

DWORD MakeJob() {
    DWORD length = 0;
    length += wsprintfA(job + length, "\x1b"
                                      "EHello from quillport.\r\n");
    for (int row = 1; row <= 120; ++row)
        length += wsprintfA(job + length,
                            "Line %03d: sent through a DevicePort, 4096 bytes a request.\r\n", row);
    length += wsprintfA(job + length, "\f");
    return length;
}

UINT SendJob(CreatePortFunction createPort, const char* portName) {
    DevicePort* port = createPort(portName);
    if (port == nullptr || !port->Open()) {
        wsprintfA(line, "Could not open %s.", portName);
        Say(line);
        delete port;
        return 1;
    }
    DWORD length = MakeJob();
    DWORD written = 0;
    DWORD start = GetTickCount();
    int sent = port->Write(job, length, &written, 5000);
    wsprintfA(line, "Sent a %lu-byte job to %s: %s, %lu bytes written in %lu ms.", length, portName,
              sent ? "done" : "FAILED", written, GetTickCount() - start);
    Say(line);
    delete port; // closes the device
    return sent ? 0 : 1;
}

UINT RunDemo() {
    HMODULE library = LoadLibraryA("quillport.dll");
    if (library == nullptr) {
        Say("quillport.dll could not be loaded.");
        return 1;
    }
    auto enumerate = reinterpret_cast<EnumerateDevicesFunction>(
        reinterpret_cast<void*>(GetProcAddress(library, "EnumerateDevices")));
    auto createPort = reinterpret_cast<CreatePortFunction>(
        reinterpret_cast<void*>(GetProcAddress(library, "CreatePort")));
    if (enumerate == nullptr || createPort == nullptr) {
        Say("quillport.dll lacks its exports.");
        return 1;
    }

    Say("Devices on LPT1..LPT4:");
    ListingSink sink;
    if (!enumerate(&sink)) {
        Say("  none found.");
        return 1;
    }
    wsprintfA(line, "%d device(s) found.", sink.count);
    Say(line);
    UINT result = SendJob(createPort, sink.firstPort);
    FreeLibrary(library);
    return result;
}

} // namespace

extern "C" void DemoEntry() {
    ExitProcess(RunDemo());
}
