// memcpy and memset for binaries built without a C runtime: the compiler may
// emit calls to them for plain copies and zeroing. Include in one file only.
#pragma once

extern "C" void* memcpy(void* to, const void* from, unsigned int count) {
    void* result = to;
    asm volatile("rep movsb" : "+D"(to), "+S"(from), "+c"(count) : : "memory");
    return result;
}

extern "C" void* memset(void* to, int value, unsigned int count) {
    void* result = to;
    asm volatile("rep stosb" : "+D"(to), "+c"(count) : "a"(value) : "memory");
    return result;
}
