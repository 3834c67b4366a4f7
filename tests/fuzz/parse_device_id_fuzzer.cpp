// ParseDeviceId on arbitrary bytes. The first byte picks the lead-byte set
// (none, or those of code page 932); the rest is the text. Besides the
// sanitizers' own checks, every run checks that the values point into the
// text right behind their keys, that only ';' bytes and a last lone lead byte
// were turned into zeros, and that the text is still terminated.
#include "discovery/device_id.h"
#include "platform/simulated_win32.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

bool EndsWithKey(const char* text, const char* value, const char* key) {
    size_t length = std::strlen(key);
    return size_t(value - text) >= length && std::memcmp(value - length, key, length) == 0;
}

void UseLeadBytes(bool doubleByte) {
    static int loaded = -1;
    if (loaded == int(doubleByte))
        return;
    sim::Sim().Reset();
    if (doubleByte)
        sim::Sim().leadByteRanges = {{0x81, 0x9F}, {0xE0, 0xFC}};
    LoadLeadByteSet();
    loaded = doubleByte;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    UseLeadBytes(data[0] & 1);
    // Exactly as long as the input, so the sanitizer sees any read past the end.
    std::vector<char> original(data + 1, data + size);
    original.push_back('\0');
    std::vector<char> text = original;
    size_t length = std::strlen(original.data());

    char* manufacturer = nullptr;
    char* model = nullptr;
    int result = ParseDeviceId(text.data(), &manufacturer, &model);

    Check(result == (manufacturer != nullptr && model != nullptr));
    const char* begin = text.data();
    if (manufacturer != nullptr) {
        Check(manufacturer >= begin && manufacturer <= begin + length);
        Check(EndsWithKey(begin, manufacturer, "MFG:"));
    }
    if (model != nullptr) {
        Check(model >= begin && model <= begin + length);
        Check(EndsWithKey(begin, model, "MDL:") || EndsWithKey(begin, model, "MODEL:"));
    }
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == original[i])
            continue;
        bool lastByte = i + 1 == length;
        Check(i < length && text[i] == '\0' && (original[i] == ';' || lastByte));
    }
    return 0;
}
