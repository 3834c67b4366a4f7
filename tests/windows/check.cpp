#include "check.h"

namespace check {
namespace {

DWORD passes;
DWORD failures;

// wsprintfA writes at most 1024 characters.
char line[1025];

} // namespace

void Say(const char* text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD length = 0;
    while (text[length] != '\0')
        ++length;
    DWORD written = 0;
    WriteFile(out, text, length, &written, nullptr);
    WriteFile(out, "\n", 1, &written, nullptr);
}

void Section(const char* name) {
    wsprintfA(line, "-- %s", name);
    Say(line);
}

bool Report(bool passed, const char* file, int lineNumber, const char* expression) {
    if (passed) {
        ++passes;
        wsprintfA(line, "ok   %s", expression);
    } else {
        ++failures;
        wsprintfA(line, "FAIL %s:%d: %s", file, lineNumber, expression);
    }
    Say(line);
    return passed;
}

bool ReportEqual(DWORD actual, DWORD expected, const char* file, int lineNumber,
                 const char* expression) {
    if (actual == expected)
        return Report(true, file, lineNumber, expression);
    ++failures;
    wsprintfA(line, "FAIL %s:%d: %s (got %lu, expected %lu)", file, lineNumber, expression, actual,
              expected);
    Say(line);
    return false;
}

UINT Finish() {
    wsprintfA(line, "%lu passed, %lu failed", passes, failures);
    Say(line);
    return failures ? 1 : 0;
}

} // namespace check
