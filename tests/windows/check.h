// A small check framework for test programs that run without a C runtime.
// Every check prints one line on standard output; the process's exit code
// says whether any failed.
#pragma once

#include "win32_test.h"

namespace check {

// Writes text and a line end to standard output.
void Say(const char* text);
// Starts a group of related checks.
void Section(const char* name);
bool Report(bool passed, const char* file, int line, const char* expression);
bool ReportEqual(DWORD actual, DWORD expected, const char* file, int line, const char* expression);
// Prints the totals; the result is the exit code, 0 when nothing failed.
UINT Finish();

} // namespace check

#define CHECK(expression) check::Report((expression), __FILE__, __LINE__, #expression)
#define CHECK_EQ(actual, expected)                                                                 \
    check::ReportEqual((DWORD)(actual), (DWORD)(expected), __FILE__, __LINE__,                     \
                       #actual " == " #expected)
// For a check whose failure leaves nothing sensible to test after it.
#define REQUIRE(expression)                                                                        \
    do {                                                                                           \
        if (!CHECK(expression))                                                                    \
            return;                                                                                \
    } while (0)
