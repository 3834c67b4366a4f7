// Allocation that reports failure as null instead of throwing.
//
// The library never throws, so every allocation goes through the global
// nothrow operator new. The DLL build has no C++ standard library: it declares
// the little of <new> that it needs and supplies the operators itself.
#pragma once

#include <stddef.h>

#if defined(QUILLPORT_FREESTANDING)
namespace std {
struct nothrow_t {
    explicit nothrow_t() = default;
};
extern const nothrow_t nothrow;
} // namespace std

void* operator new(size_t size, const std::nothrow_t&) noexcept;
void operator delete(void* memory) noexcept;
inline void* operator new(size_t, void* place) noexcept {
    return place;
}
#else
#include <new>
#endif

// Raw bytes from the global operator new; release them with ::operator delete.
inline char* AllocateBytes(size_t size) {
    return static_cast<char*>(::operator new(size, std::nothrow));
}
