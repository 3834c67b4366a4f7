// EnumerateDevices against scripted ports: what is traced, what reaches the
// sink, and that nothing is left open or allocated afterwards.
#include "quillport.h"

#include "platform/simulated_win32.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using sim::Sim;

namespace {

constexpr uint32_t kQueryDeviceId = 0x0016000C;

struct Report {
    std::string manufacturer, model, portName, devicePath, deviceId;
    bool portNameSharesOneBuffer = false;
    bool portHeldDuringReport = false;
    bool idTextAllocated = false;
    size_t tracesSoFar = 0;
};

// Copies every report, since the texts live only during the call.
class RecordingSink : public DeviceSink {
  public:
    int QUILLPORT_MEMBER OnDeviceFound(const char* manufacturer, const char* model,
                                       const char* portName, const char* devicePath,
                                       const char* deviceId) override {
        Report report{manufacturer, model, portName, devicePath, deviceId};
        report.portNameSharesOneBuffer = portName == devicePath;
        sim::Device* device = Sim().FindDevice(portName);
        report.portHeldDuringReport = device && device->openHandle;
        report.idTextAllocated = Sim().LiveAllocationCount() > 0;
        report.tracesSoFar = Sim().traces.size();
        reports.push_back(report);
        if (during)
            during(portName);
        return answers.size() >= reports.size() ? answers[reports.size() - 1] : 1;
    }

    std::vector<Report> reports;
    std::vector<int> answers; // by report; 1 once they run out
    std::function<void(const char* portName)> during;
};

std::string Trace(const std::string& port, const std::string& status) {
    return "EnumerateDevices() - '%s': %s|" + port + "|" + status;
}

class EnumerateDevicesTest : public ::testing::Test {
  protected:
    void SetUp() override { Sim().Reset(); }

    void TearDown() override {
        EXPECT_EQ(Sim().OpenHandleCount(), 0);
        EXPECT_EQ(Sim().LiveAllocationCount(), 0);
        EXPECT_EQ(Sim().faults, std::vector<std::string>{});
    }

    // A port whose device answers the first ID query with `id`.
    sim::Device& AddPrinter(const std::string& port, const std::string& id) {
        sim::Device& device = Sim().AddDevice(port);
        device.ioctls[kQueryDeviceId].data = id;
        return device;
    }

    std::vector<std::string> OpenedPorts() const {
        std::vector<std::string> names;
        for (const auto& call : Sim().CallsNamed("CreateFileA"))
            names.push_back(call.text);
        return names;
    }

    RecordingSink sink;
};

const std::vector<std::string> kAllPorts = {"LPT1", "LPT2", "LPT3", "LPT4"};

TEST_F(EnumerateDevicesTest, WithoutPortsTracesEachAndNeverUsesTheSink) {
    EXPECT_EQ(EnumerateDevices(&sink), 0);
    EXPECT_EQ(Sim().traces, (std::vector<std::string>{Trace("LPT1", "can't open port"),
                                                      Trace("LPT2", "can't open port"),
                                                      Trace("LPT3", "can't open port"),
                                                      Trace("LPT4", "can't open port")}));
    EXPECT_TRUE(sink.reports.empty());
    EXPECT_EQ(OpenedPorts(), kAllPorts);
}

TEST_F(EnumerateDevicesTest, APortWithoutAnIdIsTracedAsNoDevice) {
    Sim().AddDevice("LPT1");
    EXPECT_EQ(EnumerateDevices(&sink), 0);
    EXPECT_EQ(Sim().traces[0], Trace("LPT1", "device not found"));
    EXPECT_TRUE(sink.reports.empty());
}

TEST_F(EnumerateDevicesTest, ReportsTheDeviceOnLpt2) {
    AddPrinter("LPT2", "MFG:Acme;MDL:P100;CLS:PRINTER;");
    EXPECT_EQ(EnumerateDevices(&sink), 1);
    EXPECT_EQ(Sim().traces[1], Trace("LPT2", "MFG:Acme;MDL:P100;CLS:PRINTER;"));
    ASSERT_EQ(sink.reports.size(), 1u);
    const Report& report = sink.reports[0];
    EXPECT_EQ(report.manufacturer, "Acme");
    EXPECT_EQ(report.model, "P100");
    EXPECT_EQ(report.portName, "LPT2");
    EXPECT_EQ(report.devicePath, "LPT2");
    EXPECT_TRUE(report.portNameSharesOneBuffer);
    EXPECT_EQ(report.deviceId, "MFG:Acme");
    EXPECT_EQ(OpenedPorts(), kAllPorts);
}

TEST_F(EnumerateDevicesTest, WithinAPortTheOrderIsOpenReadTraceReportReleaseClose) {
    AddPrinter("LPT1", "MFG:Acme;MDL:P100;");
    EnumerateDevices(&sink);
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].tracesSoFar, 1u);
    EXPECT_TRUE(sink.reports[0].portHeldDuringReport);
    EXPECT_TRUE(sink.reports[0].idTextAllocated);
}

struct IdCase {
    const char* name;
    const char* id;
    bool reported;
    const char* manufacturer;
    const char* model;
};

TEST_F(EnumerateDevicesTest, ReportsOnlyIdsThatNameBothManufacturerAndModel) {
    const IdCase cases[] = {
        {"manufacturer only", "MFG:Acme;CLS:PRINTER;", false, "", ""},
        {"model only", "MDL:P100;CLS:PRINTER;", false, "", ""},
        {"MODEL key", "MFG:Acme;MODEL:P200;", true, "Acme", "P200"},
        {"empty manufacturer", "MFG:;MDL:P100;", true, "", "P100"},
        {"empty model", "MFG:Acme;MDL:;", true, "Acme", ""},
    };
    for (const IdCase& c : cases) {
        SCOPED_TRACE(c.name);
        Sim().Reset();
        sink.reports.clear();
        AddPrinter("LPT1", c.id);
        EXPECT_EQ(EnumerateDevices(&sink), c.reported ? 1 : 0);
        EXPECT_EQ(Sim().traces[0], Trace("LPT1", c.id));
        ASSERT_EQ(sink.reports.size(), c.reported ? 1u : 0u);
        if (c.reported) {
            EXPECT_EQ(sink.reports[0].manufacturer, c.manufacturer);
            EXPECT_EQ(sink.reports[0].model, c.model);
        }
        EXPECT_EQ(Sim().LiveAllocationCount(), 0);
    }
}

TEST_F(EnumerateDevicesTest, GoesOnWhileTheSinkAnswersNonZero) {
    AddPrinter("LPT1", "MFG:Acme;MDL:P100;");
    AddPrinter("LPT3", "MFG:Zenith;MDL:Z9;");
    sink.answers = {0x100, 1}; // the whole value counts, not its low byte
    EXPECT_EQ(EnumerateDevices(&sink), 1);
    ASSERT_EQ(sink.reports.size(), 2u);
    EXPECT_EQ(sink.reports[0].portName, "LPT1");
    EXPECT_EQ(sink.reports[1].portName, "LPT3");
    EXPECT_EQ(OpenedPorts(), kAllPorts);
}

TEST_F(EnumerateDevicesTest, StopsAfterTheSinkAnswersZero) {
    AddPrinter("LPT1", "MFG:Acme;MDL:P100;");
    AddPrinter("LPT2", "MFG:Acme;MDL:P100;");
    sink.answers = {0};
    EXPECT_EQ(EnumerateDevices(&sink), 1);
    EXPECT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(OpenedPorts(), std::vector<std::string>{"LPT1"});
}

TEST_F(EnumerateDevicesTest, ANullSinkOpensNoPort) {
    AddPrinter("LPT1", "MFG:Acme;MDL:P100;");
    EXPECT_EQ(EnumerateDevices(nullptr), 0);
    EXPECT_TRUE(Sim().calls.empty());
}

TEST_F(EnumerateDevicesTest, SkipsAPortThatAnOpenDevicePortHolds) {
    AddPrinter("LPT1", "MFG:Acme;MDL:P100;");
    DevicePort* port = CreatePort("LPT1");
    ASSERT_EQ(port->Open(), 1);
    EXPECT_EQ(EnumerateDevices(&sink), 0);
    EXPECT_EQ(Sim().traces[0], Trace("LPT1", "can't open port"));
    EXPECT_TRUE(sink.reports.empty());
    delete port;
}

TEST_F(EnumerateDevicesTest, TheReportedPortOpensOnlyOnceTheCallHasReturned) {
    AddPrinter("LPT1", "MFG:Acme;MDL:P100;");
    DevicePort* port = CreatePort("LPT1");
    int openDuringReport = -1;
    sink.during = [&](const char*) { openDuringReport = port->Open(); };
    EXPECT_EQ(EnumerateDevices(&sink), 1);
    EXPECT_EQ(openDuringReport, 0);
    EXPECT_EQ(port->Open(), 1);
    delete port;
}

TEST_F(EnumerateDevicesTest, AnEnumerationFromInsideTheSinkSkipsTheHeldPort) {
    AddPrinter("LPT1", "MFG:Acme;MDL:P100;");
    AddPrinter("LPT3", "MFG:Zenith;MDL:Z9;");
    RecordingSink inner;
    int innerResult = -1;
    sink.answers = {0};
    sink.during = [&](const char*) { innerResult = EnumerateDevices(&inner); };
    EXPECT_EQ(EnumerateDevices(&sink), 1);
    EXPECT_EQ(innerResult, 1);
    ASSERT_EQ(inner.reports.size(), 1u);
    EXPECT_EQ(inner.reports[0].portName, "LPT3");
    EXPECT_EQ(Sim().traces[1], Trace("LPT1", "can't open port"));
}

} // namespace
