// Temporary until the enumeration lands: reports no device.
#include "quillport.h"

extern "C" int QUILLPORT_CALL EnumerateDevices(DeviceSink*) { return 0; }
