// ProbeHandle::ReadDeviceId against a driver whose answers come from the
// input: for the size query and each ID query, whether it is answered, whether
// it succeeds, the returned-bytes count it reports and the bytes it writes;
// also whether the port opens and how many allocations fail. The result is
// compared with a model of what the reader must return, and every block it
// allocated must be released once the caller frees the result.
#include "discovery/probe_handle.h"
#include "platform/simulated_win32.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kSizeQuery = 0x00160010;
constexpr uint32_t kIdQueries[] = {0x0016000C, 0x00160030, 0x00000011};

// Small, so that large reported sizes take the unallocatable path quickly.
constexpr size_t kAllocationLimit = 1 << 16;

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// One scripted answer; null when the code is not answered at all.
const sim::IoctlReply* Script(sim::Device& port, uint32_t code, FuzzedDataProvider& input) {
    uint8_t kind = input.ConsumeIntegral<uint8_t>();
    if (kind & 1)
        return nullptr;
    sim::IoctlReply& reply = port.ioctls[code];
    reply.succeeds = (kind & 2) == 0;
    if (kind & 4)
        reply.reportedCount = (kind & 8) ? input.ConsumeIntegral<uint32_t>()
                                         : input.ConsumeIntegralInRange<int64_t>(0, 16);
    reply.data = input.ConsumeRandomLengthString(256);
    return &reply;
}

// What the driver reports as the returned-bytes count, and copies, for `offered`.
uint32_t Count(const sim::IoctlReply& reply, uint32_t offered) {
    size_t copied = reply.data.size() < offered ? reply.data.size() : offered;
    return reply.reportedCount < 0 ? uint32_t(copied) : uint32_t(reply.reportedCount);
}

// The reader's expected result, and the codes it must send.
struct Model {
    int failingAllocations;
    std::vector<uint32_t> codes{kSizeQuery};

    bool Allocate(uint64_t size) {
        if (failingAllocations > 0) {
            --failingAllocations;
            return false;
        }
        return size <= kAllocationLimit;
    }

    // Null stands for a null result.
    const std::string* Expect(const sim::IoctlReply* sizeReply, const sim::IoctlReply* idReplies[3],
                              std::string& text) {
        uint32_t idSize = 4096;
        if (sizeReply && sizeReply->succeeds && Count(*sizeReply, 4) != 0) {
            idSize = 0;
            for (size_t i = 0; i < 4 && i < sizeReply->data.size(); ++i)
                idSize |= uint32_t(uint8_t(sizeReply->data[i])) << (8 * i);
        }
        if (idSize != 0xFFFFFFFF && Allocate(uint64_t(idSize) + 1)) {
            std::string buffer(idSize, sim::kScribble);
            for (int q = 0; q < 3; ++q) {
                codes.push_back(kIdQueries[q]);
                const sim::IoctlReply* reply = idReplies[q];
                if (!reply || !reply->succeeds)
                    continue;
                std::string copied = reply->data.substr(0, idSize);
                buffer.replace(0, copied.size(), copied);
                uint32_t count = Count(*reply, idSize);
                if (count > idSize)
                    count = idSize;
                if (count == 0)
                    continue;
                text = buffer.substr(0, count);
                if (text[0] == '\0')
                    text[0] = '*';
                text = text.c_str();
                return &text;
            }
        }
        text.clear();
        return Allocate(1) ? &text : nullptr;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    sim::Simulation& simulation = sim::Sim();
    simulation.Reset();
    simulation.allocationLimit = kAllocationLimit;
    simulation.scribbleAllocations = true;

    uint8_t flags = input.ConsumeIntegral<uint8_t>();
    bool portExists = (flags & 3) != 3;
    int failingAllocations = (flags >> 2) % 3;
    simulation.failNextAllocations = failingAllocations;
    sim::Device& port = simulation.AddDevice(portExists ? "LPT1" : "LPT9");
    const sim::IoctlReply* sizeReply = Script(port, kSizeQuery, input);
    const sim::IoctlReply* idReplies[3];
    for (int q = 0; q < 3; ++q)
        idReplies[q] = Script(port, kIdQueries[q], input);

    char* id = nullptr;
    {
        ProbeHandle probe("LPT1");
        id = probe.ReadDeviceId();
    }
    Check(simulation.OpenHandleCount() == 0);

    std::vector<uint32_t> codes;
    for (const auto& call : simulation.CallsNamed("DeviceIoControl"))
        codes.push_back(call.value);
    if (!portExists) {
        Check(id == nullptr && codes.empty() && simulation.allocationSizes.empty());
        return 0;
    }
    Model model{failingAllocations};
    std::string expectedText;
    const std::string* expected = model.Expect(sizeReply, idReplies, expectedText);
    Check(codes == model.codes);
    Check((id == nullptr) == (expected == nullptr));
    if (id != nullptr) {
        Check(std::string(id) == *expected);
        ::operator delete(id);
    }
    Check(simulation.LiveAllocationCount() == 0);
    return 0;
}
