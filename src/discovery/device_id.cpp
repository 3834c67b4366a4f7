// Splitting an IEEE 1284 device ID into its ';'-separated fields in place, and
// picking the manufacturer and the model out of them.
#include "device_id.h"

#include "../platform/win32.h"

namespace {

// Nonzero for each byte that begins a double-byte character in the ANSI code
// page the library was loaded under. A plain zero-initialised array: the DLL
// has no C runtime, so nothing with a constructor may live at namespace scope.
unsigned char leadBytes[256];

bool IsLeadByte(char byte) {
    return leadBytes[static_cast<unsigned char>(byte)] != 0;
}

// CPINFO lists lead-byte ranges as pairs of first and last byte, ended by a
// pair of zeros.
bool InLeadByteRanges(const CPINFO& info, unsigned byte) {
    for (int slot = 0; slot + 1 < MAX_LEADBYTES && info.LeadByte[slot] != 0; slot += 2)
        if (byte >= info.LeadByte[slot] && byte <= info.LeadByte[slot + 1])
            return true;
    return false;
}

// Walks a text one field at a time, writing a zero over the ';' that ends
// each field. The position is the caller's, so parses never disturb each other.
struct FieldSplitter {
    char* position;

    // The next field, or null when only ';' bytes are left.
    char* Next() {
        while (*position == ';')
            ++position;
        char* field = position;
        while (*position != '\0' && *position != ';') {
            if (IsLeadByte(*position)) {
                // A lead byte with nothing after it is half a character: it is
                // dropped rather than paired with the terminator.
                if (position[1] == '\0') {
                    *position = '\0';
                    break;
                }
                ++position; // the second byte never ends a field, even if ';'
            }
            ++position;
        }
        if (*position == ';')
            *position++ = '\0';
        return *field != '\0' ? field : nullptr;
    }
};

// The byte after the first occurrence of `key` in `field`, or null. Compares
// plain bytes, unaware of double-byte characters.
char* FindKey(char* field, const char* key) {
    for (char* start = field; *start != '\0'; ++start) {
        int matched = 0;
        while (key[matched] != '\0' && start[matched] == key[matched])
            ++matched;
        if (key[matched] == '\0')
            return start + matched;
    }
    return nullptr;
}

} // namespace

void LoadLeadByteSet() {
    CPINFO info;
    if (!GetCPInfo(GetACP(), &info))
        info.LeadByte[0] = 0; // no ranges: every byte is a character of its own
    // Every entry is rewritten, so a set loaded earlier leaves nothing behind.
    for (unsigned byte = 0; byte < 256; ++byte)
        leadBytes[byte] = InLeadByteRanges(info, byte) ? 1 : 0;
}

int ParseDeviceId(char* text, char** manufacturer, char** model) {
    *manufacturer = nullptr;
    *model = nullptr;
    FieldSplitter fields = {text};
    while (char* field = fields.Next()) {
        // One key per field; a later field overrides an earlier one.
        char* value = FindKey(field, "MFG:");
        if (value != nullptr) {
            *manufacturer = value;
            continue;
        }
        value = FindKey(field, "MDL:");
        if (value == nullptr)
            value = FindKey(field, "MODEL:");
        if (value != nullptr)
            *model = value;
    }
    return *manufacturer != nullptr && *model != nullptr ? 1 : 0;
}
