// The host build's stand-in for the enumeration's diagnostic hook: it records
// each call so that tests can see what was traced. The DLL's hook does nothing.
#include "../discovery/trace_enumeration.h"
#include "simulated_win32.h"

int TraceEnumeration(const char* format, const char* portName, const char* status) {
    sim::Sim().traces.push_back(std::string(format) + "|" + portName + "|" + status);
    return 1;
}
