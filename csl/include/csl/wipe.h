// Wiping of secrets (keys, nonces, intermediate values) in a way the
// compiler cannot drop as a dead store.
#pragma once
#include <cstddef>
#include <string.h>

// Zeroes n bytes at p (null or 0 bytes: nothing).
inline void csl_wipe(void* p, size_t n) {
    if (p && n) explicit_bzero(p, n);
}

// Zeroes the whole of obj.
template <class T>
inline void csl_wipe_object(T& obj) {
    csl_wipe(&obj, sizeof obj);
}
