// The fields of an IEEE 1284 device ID text: "KEY:value" fields separated by ';'.
#pragma once

// Splits `text` into its fields in place and points `manufacturer` and `model`
// at the values of the last "MFG:" field and the last "MDL:" or "MODEL:"
// field. Returns 1 when both were found, else 0; what was found is kept
// either way. Afterwards the text reads only up to the end of its first field.
// Under a double-byte code page a ';' right after a lead byte separates
// nothing, and a lead byte that ends the text is half a character and is
// overwritten with a zero byte.
int ParseDeviceId(char* text, char** manufacturer, char** model);

// Fixes the lead bytes of the ANSI code page in force now (GetACP, GetCPInfo);
// a lead byte and the byte after it are one character to the field splitter.
// Called once, when the library is loaded; host tests call it again after
// changing the simulated code page.
void LoadLeadByteSet();
