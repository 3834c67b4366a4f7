// ProbeHandle against the scripted Win32: how it opens and closes the device,
// and which requests ReadDeviceId sends for each way a driver may answer.
#include "discovery/probe_handle.h"
#include "platform/simulated_win32.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

constexpr uint32_t kSizeQuery = 0x00160010;
constexpr uint32_t kQuery1 = 0x0016000C;
constexpr uint32_t kQuery2 = 0x00160030;
constexpr uint32_t kQuery3 = 0x00000011;

// Releases a device ID the way its owner must: with the global operator delete.
struct IdDeleter {
    void operator()(char* text) const { ::operator delete(text); }
};
using DeviceId = std::unique_ptr<char, IdDeleter>;

class ProbeHandleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Sim().Reset();
        sim::Sim().scribbleAllocations = true;
    }

    sim::Device& AddPort() { return sim::Sim().AddDevice("LPT1"); }

    static std::vector<uint32_t> CodesSent() {
        std::vector<uint32_t> codes;
        for (const auto& call : sim::Sim().CallsNamed("DeviceIoControl"))
            codes.push_back(call.value);
        return codes;
    }
};

// The size query's answer as the device writes it, little-endian.
std::string SizeBytes(uint32_t size) {
    return std::string{char(size), char(size >> 8), char(size >> 16), char(size >> 24)};
}

sim::IoctlReply Answer(const std::string& data, int64_t reportedCount = -1) {
    return sim::IoctlReply{true, data, reportedCount};
}

const sim::IoctlReply kFails{false, "", -1};

TEST_F(ProbeHandleTest, OpensForSynchronousUnsharedReadAndWrite) {
    AddPort();
    ProbeHandle probe("LPT1");

    auto opens = sim::Sim().CallsNamed("CreateFileA");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].text, "LPT1");
    EXPECT_EQ(opens[0].value, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(opens[0].detail, "access=c0000000 share=0 security=null disposition=3 template=null");
}

TEST_F(ProbeHandleTest, DestructionClosesTheHandleItOpened) {
    AddPort();
    HANDLE opened = nullptr;
    {
        ProbeHandle probe("LPT1");
        opened = sim::Sim().CallsNamed("CreateFileA").at(0).handle;
        EXPECT_EQ(sim::Sim().OpenHandleCount(), 1);
    }
    auto closes = sim::Sim().CallsNamed("CloseHandle");
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].handle, opened);
    EXPECT_EQ(sim::Sim().OpenHandleCount(), 0);
}

TEST_F(ProbeHandleTest, FailedCloseIsIgnored) {
    AddPort().closeFails = true;
    { ProbeHandle probe("LPT1"); }
    EXPECT_EQ(sim::Sim().CallsNamed("CloseHandle").size(), 1u);
    EXPECT_TRUE(sim::Sim().faults.empty());
}

// A port that is missing, or held by another handle, gives null: nothing is
// sent, nothing allocated, and nothing closed.
TEST_F(ProbeHandleTest, PortThatDoesNotOpenGivesNull) {
    for (bool portExists : {false, true}) {
        SCOPED_TRACE(portExists ? "held by another handle" : "no such port");
        sim::Sim().Reset();
        if (portExists)
            AddPort().openHandle = reinterpret_cast<HANDLE>(0x1);
        {
            ProbeHandle probe("LPT1");
            EXPECT_EQ(probe.ReadDeviceId(), nullptr);
        }
        EXPECT_TRUE(sim::Sim().CallsNamed("DeviceIoControl").empty());
        EXPECT_TRUE(sim::Sim().CallsNamed("CloseHandle").empty());
        EXPECT_TRUE(sim::Sim().allocationSizes.empty());
    }
}

TEST_F(ProbeHandleTest, RequestsGoSynchronouslyWithNoInputToTheOpenedHandle) {
    sim::Device& port = AddPort();
    port.ioctls[kSizeQuery] = Answer(SizeBytes(16));
    port.ioctls[kQuery2] = Answer("MFG:Acme;");
    ProbeHandle probe("LPT1");
    DeviceId id(probe.ReadDeviceId());

    HANDLE opened = sim::Sim().CallsNamed("CreateFileA").at(0).handle;
    auto requests = sim::Sim().CallsNamed("DeviceIoControl");
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& request : requests) {
        EXPECT_EQ(request.handle, opened);
        EXPECT_EQ(request.detail, "in=null/0 overlapped=null");
    }
    EXPECT_EQ(requests[0].size, 4u);
    // Both ID queries are offered the very buffer that is returned.
    EXPECT_EQ(requests[1].buffer, id.get());
    EXPECT_EQ(requests[2].buffer, id.get());
}

struct ReadCase {
    const char* name;
    std::optional<sim::IoctlReply> sizeQuery; // none: the code is not answered
    std::optional<sim::IoctlReply> query1, query2, query3;
    std::string expectedId;
    std::vector<uint32_t> expectedCodes;
    uint32_t expectedOffered; // the output length of every ID query sent
    std::vector<size_t> expectedAllocations;
};

std::ostream& operator<<(std::ostream& out, const ReadCase& c) {
    return out << c.name;
}

const ReadCase kReadCases[] = {
    {"SizeQueryFails",
     kFails,
     Answer("MFG:A;"),
     {},
     {},
     "MFG:A;",
     {kSizeQuery, kQuery1},
     4096,
     {4097}},
    {"SizeQueryNotAnswered",
     {},
     Answer("MFG:A;"),
     {},
     {},
     "MFG:A;",
     {kSizeQuery, kQuery1},
     4096,
     {4097}},
    {"SizeQueryReturnsNoBytes",
     Answer(""),
     Answer("MFG:A;"),
     {},
     {},
     "MFG:A;",
     {kSizeQuery, kQuery1},
     4096,
     {4097}},
    {"SizeQueryWritesButCountsZeroBytes",
     Answer(SizeBytes(8), 0),
     Answer("MFG:A;"),
     {},
     {},
     "MFG:A;",
     {kSizeQuery, kQuery1},
     4096,
     {4097}},
    {"ReportedSizeIsUsedUnchanged",
     Answer(SizeBytes(100000)),
     Answer("MFG:A;"),
     {},
     {},
     "MFG:A;",
     {kSizeQuery, kQuery1},
     100000,
     {100001}},
    {"SizeOfOneByteLeavesTheRestZero",
     Answer("\x05"),
     Answer("MFG:A;"),
     {},
     {},
     "MFG:A",
     {kSizeQuery, kQuery1},
     5,
     {6}},
    {"SizeOfThreeBytesLeavesTheRestZero",
     Answer("\x01\x01\x01"),
     Answer("X"),
     {},
     {},
     "X",
     {kSizeQuery, kQuery1},
     0x010101,
     {0x010102}},
    {"SizeZeroOffersNothingAndGivesTheEmptyId",
     Answer(SizeBytes(0)),
     Answer("MFG:A;"),
     Answer("MFG:A;"),
     Answer("MFG:A;"),
     "",
     {kSizeQuery, kQuery1, kQuery2, kQuery3},
     0,
     {1, 1}},
    {"SizeZeroWithABogusCountGivesTheEmptyId",
     Answer(SizeBytes(0)),
     Answer("", 5),
     Answer("", 1),
     Answer("", 9),
     "",
     {kSizeQuery, kQuery1, kQuery2, kQuery3},
     0,
     {1, 1}},
    {"Query1FailsQuery2Answers",
     Answer(SizeBytes(64)),
     kFails,
     Answer("MDL:B;"),
     Answer("no"),
     "MDL:B;",
     {kSizeQuery, kQuery1, kQuery2},
     64,
     {65}},
    {"Query1ReturnsNoBytesQuery2Answers",
     Answer(SizeBytes(64)),
     Answer(""),
     Answer("MDL:B;"),
     Answer("no"),
     "MDL:B;",
     {kSizeQuery, kQuery1, kQuery2},
     64,
     {65}},
    {"Query1CountsZeroBytesQuery2Answers",
     Answer(SizeBytes(64)),
     Answer("MFG:A;", 0),
     Answer("MDL:B;"),
     {},
     "MDL:B;",
     {kSizeQuery, kQuery1, kQuery2},
     64,
     {65}},
    {"OnlyQuery3Answers",
     Answer(SizeBytes(64)),
     kFails,
     Answer(""),
     Answer("CLS:PRINTER;"),
     "CLS:PRINTER;",
     {kSizeQuery, kQuery1, kQuery2, kQuery3},
     64,
     {65}},
    {"AllQueriesFailGivesTheEmptyId",
     Answer(SizeBytes(64)),
     kFails,
     Answer(""),
     {},
     "",
     {kSizeQuery, kQuery1, kQuery2, kQuery3},
     64,
     {65, 1}},
    {"LeadingZeroByteBecomesAsterisk",
     Answer(SizeBytes(64)),
     Answer("\0MFG:A;"s),
     {},
     {},
     "*MFG:A;",
     {kSizeQuery, kQuery1},
     64,
     {65}},
    {"SingleZeroByteBecomesAsterisk",
     Answer(SizeBytes(64)),
     Answer("\0"s),
     {},
     {},
     "*",
     {kSizeQuery, kQuery1},
     64,
     {65}},
    {"ReplyFillingTheOfferedLength",
     Answer(SizeBytes(4)),
     Answer("ABCD"),
     {},
     {},
     "ABCD",
     {kSizeQuery, kQuery1},
     4,
     {5}},
    {"ReplyLongerThanOfferedIsCut",
     Answer(SizeBytes(4)),
     Answer("ABCDEFGH"),
     {},
     {},
     "ABCD",
     {kSizeQuery, kQuery1},
     4,
     {5}},
    {"CountBeyondOfferedLengthIsClamped",
     Answer(SizeBytes(4)),
     Answer("ABCD", 9),
     {},
     {},
     "ABCD",
     {kSizeQuery, kQuery1},
     4,
     {5}},
    {"CountBelowReplyEndsTheText",
     Answer(SizeBytes(16)),
     Answer("ABCDEF", 3),
     {},
     {},
     "ABC",
     {kSizeQuery, kQuery1},
     16,
     {17}},
    {"TextEndsAtEmbeddedZeroByte",
     Answer(SizeBytes(64)),
     Answer("AB\0CD;"s),
     {},
     {},
     "AB",
     {kSizeQuery, kQuery1},
     64,
     {65}},
    {"SizeOfAllOnesIsNeverAllocated",
     Answer(SizeBytes(0xFFFFFFFF)),
     Answer("MFG:A;"),
     {},
     {},
     "",
     {kSizeQuery},
     0,
     {1}},
    {"SizeTooLargeToAllocateGivesTheEmptyId",
     Answer(SizeBytes(0x7FFFFFFF)),
     Answer("MFG:A;"),
     {},
     {},
     "",
     {kSizeQuery},
     0,
     {0x80000000, 1}},
};

class ReadDeviceIdTest : public ProbeHandleTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadDeviceIdTest, Reads) {
    const ReadCase& c = GetParam();
    sim::Device& port = AddPort();
    const std::pair<uint32_t, std::optional<sim::IoctlReply>> replies[] = {
        {kSizeQuery, c.sizeQuery}, {kQuery1, c.query1}, {kQuery2, c.query2}, {kQuery3, c.query3}};
    for (const auto& [code, reply] : replies)
        if (reply)
            port.ioctls[code] = *reply;

    ProbeHandle probe("LPT1");
    DeviceId id(probe.ReadDeviceId());

    ASSERT_NE(id, nullptr);
    EXPECT_EQ(std::string(id.get()), c.expectedId);
    EXPECT_EQ(CodesSent(), c.expectedCodes);
    auto requests = sim::Sim().CallsNamed("DeviceIoControl");
    for (size_t i = 1; i < requests.size(); ++i)
        EXPECT_EQ(requests[i].size, c.expectedOffered) << "ID query " << i;
    EXPECT_EQ(sim::Sim().allocationSizes, c.expectedAllocations);
    id.reset();
    EXPECT_EQ(sim::Sim().LiveAllocationCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Replies, ReadDeviceIdTest, ::testing::ValuesIn(kReadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProbeHandleTest, FailedBufferAllocationGivesTheEmptyIdWithoutQuerying) {
    AddPort().ioctls[kQuery1] = Answer("MFG:A;");
    sim::Sim().failNextAllocations = 1;
    ProbeHandle probe("LPT1");
    DeviceId id(probe.ReadDeviceId());

    ASSERT_NE(id, nullptr);
    EXPECT_EQ(std::string(id.get()), "");
    EXPECT_EQ(CodesSent(), std::vector<uint32_t>{kSizeQuery});
}

// With no memory even for the one byte of the empty ID, the caller is left to
// treat the port as one that did not open.
TEST_F(ProbeHandleTest, NoMemoryForTheEmptyIdGivesNull) {
    AddPort().ioctls[kQuery1] = Answer("MFG:A;");
    sim::Sim().failNextAllocations = 2;
    ProbeHandle probe("LPT1");
    EXPECT_EQ(probe.ReadDeviceId(), nullptr);
    EXPECT_EQ(sim::Sim().LiveAllocationCount(), 0);
}

} // namespace
