// The enumeration's diagnostic hook.
#pragma once

// Takes a printf-style format and the two texts it consumes, and does nothing:
// the library keeps no log. Returns 1.
int TraceEnumeration(const char* format, const char* portName, const char* status);
