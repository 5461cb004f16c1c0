// Object and memory utilities of the Noise machinery, and its random source.
#pragma once

#include <cstddef>
#include <cstdint>

// Library initialisation: nothing to do; returns 0.
int noise_init();
void noise_init_helper();

// A zero-filled block whose first machine word holds its size (when it has room
// for one); null when allocation fails.
void* noise_new_object(size_t size);

// Zeroes size bytes of object one by one and frees it; null is ignored.
void noise_free(void* object, size_t size);

// Zeroes size bytes one by one, in a way the compiler keeps.
void noise_clean(void* data, size_t size);

// 1 when the two blocks are equal, 0 otherwise, in time independent of the contents.
int noise_is_equal(const void* a, const void* b, size_t size);

// 1 when every byte is zero, 0 otherwise, in time independent of the contents.
int noise_is_zero(const void* data, size_t size);

// Fills buffer from the calling thread's current random provider (the default one
// outside any scope); NOISE_ERROR_SYSTEM when that fails.
int noise_rand_bytes(void* buffer, size_t size);
