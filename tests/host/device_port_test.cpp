// DevicePort against the scripted Win32: opening, closing, and transfers in
// chunks under one time limit.
#include "quillport.h"

#include "platform/simulated_win32.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using sim::Outcome;
using sim::RequestReply;
using sim::Sim;

namespace {

struct PortDeleter {
    void operator()(DevicePort* port) const { delete port; }
};
using PortPointer = std::unique_ptr<DevicePort, PortDeleter>;

RequestReply Complete(uint32_t bytes = sim::kWholeRequest) {
    RequestReply reply;
    reply.bytes = bytes;
    return reply;
}

RequestReply Fail(uint32_t error = 31) {
    RequestReply reply;
    reply.outcome = Outcome::Fail;
    reply.error = error;
    return reply;
}

RequestReply Pend(uint32_t delay, uint32_t bytes = sim::kWholeRequest) {
    RequestReply reply;
    reply.outcome = Outcome::Pend;
    reply.delay = delay;
    reply.bytes = bytes;
    return reply;
}

std::string Pattern(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i)
        bytes[i] = char(i * 7 + i / 251);
    return bytes;
}

class DevicePortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Sim().Reset();
        device = &Sim().AddDevice("LPT1");
        port.reset(CreatePort("LPT1"));
        ASSERT_TRUE(port);
    }

    void TearDown() override {
        port.reset();
        EXPECT_EQ(Sim().faults, std::vector<std::string>{});
        EXPECT_FALSE(Sim().HasPendingRequest());
    }

    // A fresh simulation with an open port on LPT1, for each case of a table.
    void Restart() {
        port.reset();
        Sim().Reset();
        device = &Sim().AddDevice("LPT1");
        port.reset(CreatePort("LPT1"));
        OpenPort();
    }

    void OpenPort() {
        ASSERT_EQ(port->Open(), 1);
        Sim().calls.clear();
    }

    std::vector<uint32_t> RequestSizes(const char* name) const {
        std::vector<uint32_t> sizes;
        for (const auto& call : Sim().CallsNamed(name))
            sizes.push_back(call.size);
        return sizes;
    }

    std::vector<uint32_t> Waits() const {
        std::vector<uint32_t> waits;
        for (const auto& call : Sim().CallsNamed("WaitForSingleObject"))
            waits.push_back(call.value);
        return waits;
    }

    sim::Device* device = nullptr;
    PortPointer port;
};

TEST(CreatePortTest, RefusesANullName) {
    EXPECT_EQ(CreatePort(nullptr), nullptr);
}

TEST(CreatePortTest, GivesNullWhenNoMemoryIsLeft) {
    Sim().Reset();
    Sim().failNextAllocations = 1;
    EXPECT_EQ(CreatePort("LPT1"), nullptr);
    EXPECT_EQ(Sim().LiveAllocationCount(), 0);
}

TEST(CreatePortTest, TouchesNoDeviceAndDeleteReleasesTheObject) {
    Sim().Reset();
    DevicePort* port = CreatePort("LPT1");
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(Sim().calls.empty());
    EXPECT_EQ(Sim().LiveAllocationCount(), 1);
    delete port;
    EXPECT_EQ(Sim().LiveAllocationCount(), 0);
    EXPECT_TRUE(Sim().calls.empty());
}

TEST(CreatePortTest, CutsALongNameTo259Characters) {
    Sim().Reset();
    std::string longName(300, 'n');
    for (size_t i = 0; i < longName.size(); ++i)
        longName[i] = char('a' + i % 26);
    Sim().AddDevice(longName.substr(0, 259));
    PortPointer port(CreatePort(longName.c_str()));
    EXPECT_EQ(port->Open(), 1);
    ASSERT_EQ(Sim().CallsNamed("CreateFileA").size(), 1u);
    EXPECT_EQ(Sim().CallsNamed("CreateFileA")[0].text, longName.substr(0, 259));
}

TEST_F(DevicePortTest, OpenCreatesTheEventThenOpensTheDeviceForOverlappedUse) {
    EXPECT_EQ(port->Open(), 1);
    EXPECT_EQ(Sim().CallNames(), (std::vector<std::string>{"CreateEventA", "CreateFileA"}));
    EXPECT_EQ(Sim().calls[0].text, "security=null manual=1 initial=0 name=null");
    const sim::Call& open = Sim().calls[1];
    EXPECT_EQ(open.text, "LPT1");
    EXPECT_EQ(open.value, FILE_FLAG_OVERLAPPED);
    EXPECT_EQ(open.detail, "access=c0000000 share=0 security=null disposition=3 template=null");
}

TEST_F(DevicePortTest, OpenOnAnOpenPortOpensNothingAgain) {
    OpenPort();
    EXPECT_EQ(port->Open(), 1);
    EXPECT_TRUE(Sim().calls.empty());
}

TEST_F(DevicePortTest, FailedOpenKeepsTheEventForTheNextAttempt) {
    port.reset(CreatePort("LPT9"));
    EXPECT_EQ(port->Open(), 0);
    EXPECT_EQ(Sim().OpenHandleCount(), 1); // the event
    Sim().AddDevice("LPT9");
    Sim().calls.clear();
    EXPECT_EQ(port->Open(), 1);
    EXPECT_EQ(Sim().CallNames(), std::vector<std::string>{"CreateFileA"});
}

TEST_F(DevicePortTest, OpenFailsWithoutAnEventAndTouchesNoDevice) {
    Sim().createEventFails = true;
    EXPECT_EQ(port->Open(), 0);
    EXPECT_EQ(Sim().CallNames(), std::vector<std::string>{"CreateEventA"});
    Sim().createEventFails = false;
    EXPECT_EQ(port->Open(), 1);
}

TEST_F(DevicePortTest, ASecondPortCannotOpenAHeldDevice) {
    OpenPort();
    PortPointer second(CreatePort("LPT1"));
    EXPECT_EQ(second->Open(), 0);
    EXPECT_EQ(port->Close(), 1);
    EXPECT_EQ(second->Open(), 1);
}

TEST_F(DevicePortTest, CloseWithNothingHeldMakesNoCall) {
    EXPECT_EQ(port->Close(), 1);
    OpenPort();
    EXPECT_EQ(port->Close(), 1);
    EXPECT_EQ(Sim().CallNames(), (std::vector<std::string>{"CloseHandle", "CloseHandle"}));
    Sim().calls.clear();
    EXPECT_EQ(port->Close(), 1);
    EXPECT_TRUE(Sim().calls.empty());
}

TEST_F(DevicePortTest, EachOpenAfterACloseMakesAFreshEvent) {
    OpenPort();
    ASSERT_EQ(port->Close(), 1);
    Sim().calls.clear();
    EXPECT_EQ(port->Open(), 1);
    EXPECT_EQ(Sim().CallNames(), (std::vector<std::string>{"CreateEventA", "CreateFileA"}));
}

TEST_F(DevicePortTest, AFailedDeviceCloseKeepsThePortOpen) {
    OpenPort();
    device->closeFails = true;
    EXPECT_EQ(port->Close(), 0);
    EXPECT_EQ(Sim().CallsNamed("CloseHandle").size(), 2u); // the event's close is still tried
    EXPECT_EQ(Sim().OpenHandleCount(), 1);

    Sim().calls.clear();
    EXPECT_EQ(port->Open(), 1); // still open: only the event is made again
    EXPECT_EQ(Sim().CallNames(), std::vector<std::string>{"CreateEventA"});

    device->closeFails = false;
    EXPECT_EQ(port->Close(), 1);
    EXPECT_EQ(Sim().OpenHandleCount(), 0);
}

TEST_F(DevicePortTest, AFailedEventCloseKeepsTheEvent) {
    OpenPort();
    Sim().eventCloseFails = true;
    EXPECT_EQ(port->Close(), 0);
    EXPECT_EQ(Sim().OpenHandleCount(), 1);
    Sim().eventCloseFails = false;
    Sim().calls.clear();
    EXPECT_EQ(port->Close(), 1);
    EXPECT_EQ(Sim().CallNames(), std::vector<std::string>{"CloseHandle"});
}

TEST_F(DevicePortTest, DeletingAnOpenPortClosesBothHandles) {
    OpenPort();
    port.reset();
    EXPECT_EQ(Sim().OpenHandleCount(), 0);
    EXPECT_EQ(Sim().LiveAllocationCount(), 0);
}

// Read and write share one transfer routine; every case runs in both directions.
enum class Direction { Read, Write };

class TransferTest : public DevicePortTest, public ::testing::WithParamInterface<Direction> {
  protected:
    int Move(std::string& bytes, DWORD* transferred, DWORD timeout = 1000) {
        return Move(bytes.data(), DWORD(bytes.size()), transferred, timeout);
    }

    int Move(char* buffer, DWORD length, DWORD* transferred, DWORD timeout) {
        if (GetParam() == Direction::Read)
            return port->Read(buffer, length, transferred, timeout);
        return port->Write(buffer, length, transferred, timeout);
    }

    std::deque<RequestReply>& Replies() {
        return GetParam() == Direction::Read ? device->readReplies : device->writeReplies;
    }

    const char* RequestName() const {
        return GetParam() == Direction::Read ? "ReadFile" : "WriteFile";
    }

    std::vector<uint32_t> Sizes() const { return RequestSizes(RequestName()); }
};

INSTANTIATE_TEST_SUITE_P(BothDirections, TransferTest,
                         ::testing::Values(Direction::Read, Direction::Write),
                         [](const auto& info) {
                             return info.param == Direction::Read ? "Read" : "Write";
                         });

TEST_P(TransferTest, DoesNothingOnAClosedPort) {
    std::string bytes(10, 'x');
    DWORD transferred = 77;
    EXPECT_EQ(Move(bytes, &transferred), 0);
    EXPECT_EQ(transferred, 0u);
    EXPECT_TRUE(Sim().calls.empty());

    OpenPort();
    ASSERT_EQ(port->Close(), 1);
    Sim().calls.clear();
    transferred = 77;
    EXPECT_EQ(Move(bytes, &transferred), 0);
    EXPECT_EQ(transferred, 0u);
    EXPECT_TRUE(Sim().calls.empty());
}

TEST_P(TransferTest, ZeroLengthSucceedsWithoutARequest) {
    OpenPort();
    DWORD transferred = 77;
    EXPECT_EQ(Move(nullptr, 0, &transferred, 100), 1);
    EXPECT_EQ(transferred, 0u);
    EXPECT_TRUE(Sizes().empty());
}

TEST_P(TransferTest, RefusesANullCountAndIssuesNothing) {
    OpenPort();
    std::string bytes(10, 'x');
    EXPECT_EQ(Move(bytes.data(), 10, nullptr, 100), 0);
    EXPECT_TRUE(Sim().calls.empty());
}

struct ChunkCase {
    const char* name;
    uint32_t length;
    std::vector<RequestReply> replies;
    std::vector<uint32_t> expectedSizes;
    int expectedResult;
    uint32_t expectedTransferred;
};

TEST_P(TransferTest, SplitsIntoChunksAndCountsWhatMoved) {
    const ChunkCase cases[] = {
        {"whole chunks", 2 * 4096 + 100, {}, {4096, 4096, 100}, 1, 8292},
        {"short completion", 5000, {Complete(1000)}, {4096, 4000}, 1, 5000},
        {"third request fails", 9000, {Complete(), Complete(), Fail()}, {4096, 4096, 808}, 0, 8192},
        {"pending then done", 100, {Pend(10)}, {100}, 1, 100},
        {"pending short", 300, {Pend(10, 120), Pend(5)}, {300, 180}, 1, 300},
        {"zero bytes at once", 100, {Complete(0)}, {100}, 0, 0},
        {"zero bytes pending", 100, {Complete(40), Pend(10, 0)}, {100, 60}, 0, 40},
        {"more than asked", 100, {Complete(101)}, {100}, 0, 0},
    };
    for (const ChunkCase& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        Replies().assign(c.replies.begin(), c.replies.end());
        std::string bytes = Pattern(c.length);
        device->readData = bytes;
        std::string buffer = GetParam() == Direction::Read ? std::string(c.length, '\0') : bytes;
        DWORD transferred = 0;

        EXPECT_EQ(Move(buffer, &transferred), c.expectedResult);
        EXPECT_EQ(transferred, c.expectedTransferred);
        EXPECT_EQ(Sizes(), c.expectedSizes);
        const std::string& moved = GetParam() == Direction::Read ? buffer : device->written;
        EXPECT_EQ(moved.substr(0, transferred), bytes.substr(0, transferred));
        // Data moves straight between the caller's buffer and the device: the
        // port object is the only allocation.
        EXPECT_EQ(Sim().allocationSizes, std::vector<size_t>{sizeof(DevicePort)});
    }
}

TEST_P(TransferTest, EachRequestStartsAfterTheBytesAlreadyMoved) {
    OpenPort();
    Replies().assign({Complete(1000), Pend(3, 2000)});
    std::string bytes = Pattern(5000);
    DWORD transferred = 0;
    ASSERT_EQ(Move(bytes, &transferred), 1);
    auto requests = Sim().CallsNamed(RequestName());
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].buffer, bytes.data());
    EXPECT_EQ(requests[1].buffer, bytes.data() + 1000);
    EXPECT_EQ(requests[2].buffer, bytes.data() + 3000);
}

TEST_P(TransferTest, APendingPassResetsTheEventAndFetchesTheOutcomeWithoutWaiting) {
    OpenPort();
    Replies().assign({Pend(10)});
    std::string bytes(10, 'x');
    DWORD transferred = 0;
    ASSERT_EQ(Move(bytes, &transferred), 1);
    EXPECT_EQ(Sim().CallNames(),
              (std::vector<std::string>{"GetTickCount", "ResetEvent", RequestName(), "GetTickCount",
                                        "WaitForSingleObject", "GetOverlappedResult"}));
    HANDLE event = Sim().calls[1].handle;
    EXPECT_EQ(Sim().calls[4].handle, event);
    EXPECT_EQ(Sim().CallsNamed("GetOverlappedResult")[0].value, 0u);
}

TEST_P(TransferTest, ARefusedRequestEndsTheCallWithoutCancelling) {
    OpenPort();
    Replies().assign({Fail(5)});
    std::string bytes(10, 'x');
    DWORD transferred = 0;
    EXPECT_EQ(Move(bytes, &transferred), 0);
    EXPECT_TRUE(Sim().CallsNamed("CancelIo").empty());
    EXPECT_TRUE(Sim().CallsNamed("WaitForSingleObject").empty());
}

TEST_P(TransferTest, ATimeoutCancelsAndAwaitsTheRequestAndCountsItsBytes) {
    OpenPort();
    RequestReply stuck = Pend(sim::kNever);
    stuck.bytesOnCancel = 30;
    Replies().assign({Complete(4096), stuck});
    std::string bytes = Pattern(5000);
    device->readData = bytes;
    DWORD transferred = 0;

    EXPECT_EQ(Move(bytes, &transferred, 50), 0);
    EXPECT_EQ(transferred, 4096u + 30u);
    EXPECT_EQ(Waits(), std::vector<uint32_t>{50});
    auto outcomes = Sim().CallsNamed("GetOverlappedResult");
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].value, 1u); // waits for the cancellation to land
    EXPECT_EQ(Sim().CallsNamed("CancelIo").size(), 1u);
}

TEST_P(TransferTest, AFailedWaitCancelsTheRequest) {
    OpenPort();
    Replies().assign({Pend(10)});
    Sim().waitFails = true;
    std::string bytes(10, 'x');
    DWORD transferred = 0;
    EXPECT_EQ(Move(bytes, &transferred), 0);
    EXPECT_EQ(Sim().CallsNamed("CancelIo").size(), 1u);
}

TEST_P(TransferTest, ThePortStaysUsableAfterATimeout) {
    OpenPort();
    Replies().assign({Pend(sim::kNever), Complete()});
    std::string bytes(10, 'x');
    DWORD transferred = 0;
    EXPECT_EQ(Move(bytes, &transferred, 20), 0);
    EXPECT_EQ(Move(bytes, &transferred, 20), 1);
    EXPECT_EQ(transferred, 10u);
}

// The limit covers the whole call: each wait gets what is left of it,
// measured from the call's first tick.
struct DeadlineCase {
    const char* name;
    uint32_t startTick;
    uint32_t timeout;
    std::vector<RequestReply> replies;
    std::vector<uint32_t> expectedWaits;
    int expectedResult;
};

TEST_P(TransferTest, WaitsOnlyWhatIsLeftOfTheLimit) {
    const DeadlineCase cases[] = {
        {"two waits share the limit", 1000, 500, {Pend(200), Pend(200)}, {500, 300}, 1},
        {"the limit runs out", 1000, 200, {Pend(150), Pend(sim::kNever)}, {200, 50}, 0},
        {"past the limit a wait is 0", 1000, 200, {Pend(200), Pend(0)}, {200, 0}, 1},
        {"immediate requests are not timed", 1000, 0, {Complete(), Complete()}, {}, 1},
        {"timeout 0 and pending", 1000, 0, {Pend(5)}, {0}, 0},
        {"timeout 0 and done by then", 1000, 0, {Pend(0)}, {0}, 1},
        {"tick wraps during the call", 0xFFFFFF00u, 1000, {Pend(300), Pend(300)}, {1000, 700}, 1},
        {"limit reaches past 2^32", 0xFFFFFFF0u, 100, {Pend(10)}, {100}, 1},
        {"largest limit is not cut short", 5000, 0xFFFFFFFFu, {Pend(10)}, {0xFFFFFFFFu}, 1},
    };
    for (const DeadlineCase& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        Sim().tick = c.startTick;
        Replies().assign(c.replies.begin(), c.replies.end());
        std::string bytes(4096 * c.replies.size(), 'x');
        DWORD transferred = 0;
        EXPECT_EQ(Move(bytes, &transferred, c.timeout), c.expectedResult);
        EXPECT_EQ(Waits(), c.expectedWaits);
    }
}

} // namespace
