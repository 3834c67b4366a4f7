// EnumerateDevices: probes LPT1..LPT4 one at a time and reports each device
// whose IEEE 1284 ID names a manufacturer and a model to the host's sink.
#include "quillport.h"

#include "../platform/memory.h"
#include "../platform/win32.h"
#include "device_id.h"
#include "probe_handle.h"
#include "trace_enumeration.h"

namespace {

const char kTraceFormat[] = "EnumerateDevices() - '%s': %s";

// The status the trace gives a port: the ID is traced whole, before it is split.
const char* ProbeStatus(const char* deviceId) {
    if (deviceId == nullptr)
        return "can't open port";
    if (deviceId[0] == '\0')
        return "device not found";
    return deviceId;
}

} // namespace

extern "C" int QUILLPORT_CALL EnumerateDevices(DeviceSink* sink) {
    if (sink == nullptr)
        return 0;
    int result = 0;
    int goOn = 1;
    char portName[16];
    for (int portNumber = 1; portNumber <= 4 && goOn != 0; ++portNumber) {
        wsprintfA(portName, "LPT%d", portNumber);
        // The probe holds the port, unshared, until the sink has answered.
        ProbeHandle probe(portName);
        char* deviceId = probe.ReadDeviceId();
        TraceEnumeration(kTraceFormat, portName, ProbeStatus(deviceId));
        if (deviceId == nullptr)
            continue;
        char* manufacturer = nullptr;
        char* model = nullptr;
        if (ParseDeviceId(deviceId, &manufacturer, &model)) {
            result = 1;
            goOn = sink->OnDeviceFound(manufacturer, model, portName, portName, deviceId);
        }
        ::operator delete(deviceId);
    }
    return result;
}
