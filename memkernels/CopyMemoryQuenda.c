/* The CopyMemoryQuenda library. See CopyMemoryQuenda.h for the contract.
 *
 * Stores bypass the cache: the player streams buffers of up to 64 MB that it
 * will not read again soon, and polluting the cache with them would evict the
 * kernel and the convolution inputs that do need it. */
#include "CopyMemoryQuenda.h"

#include <string.h>

#if defined(__x86_64__)
#include <emmintrin.h>
#define QUENDA_EXPORT __attribute__((visibility("default")))

/* One 8-byte streaming store (movnti has no alignment requirement). */
static inline void store_unit(unsigned char *p, uint64_t v)
{
    _mm_stream_si64((long long *)(void *)p, (long long)v);
}

static inline void fence(void) { _mm_sfence(); }
#else
#define QUENDA_EXPORT __attribute__((visibility("default")))

/* Portable builds have no streaming store: a plain store does the same to
 * memory. */
static inline void store_unit(unsigned char *p, uint64_t v) { memcpy(p, &v, 8); }

static inline void fence(void) { __atomic_thread_fence(__ATOMIC_RELEASE); }
#endif

static inline uint64_t load_unit(const unsigned char *p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

/* Widest chunk, in bytes, of the schedule 48, 40, 32, 24, 16, 8 that fits in
 * the remaining count; 0 when fewer than 8 bytes remain. Only the last chunk
 * of a range can be narrower than 48. */
static inline int64_t chunk_width(int64_t remaining)
{
    if (remaining >= 48) return 48;
    if (remaining < 8) return 0;
    return remaining & ~(int64_t)7;
}

/* Writes the n units of `u` at p upward. Every read of the chunk has already
 * happened: the callers load the whole chunk into `u` first. */
static inline void store_chunk(unsigned char *p, const uint64_t *u, int n)
{
    for (int i = 0; i < n; ++i) store_unit(p + 8 * i, u[i]);
}

QUENDA_EXPORT int64_t ClearMemoryQuenda(uint64_t mode, int64_t length, const void *source,
                                        void *destination)
{
    (void)mode;
    const unsigned char *fill = (const unsigned char *)source;
    unsigned char *dst = (unsigned char *)destination;
    int64_t r = length;
    int64_t w;
    int touched = 0;
    while ((w = chunk_width(r)) != 0) {
        r -= w;
        const int n = (int)(w / 8);
        uint64_t u[6];
        /* The fill value is read once per unit: a fill value at the range's
         * start is read again for the last chunk, after the rest is written. */
        for (int i = 0; i < n; ++i) u[i] = load_unit(fill);
        store_chunk(dst + r, u, n);
        touched = 1;
    }
    if (touched) fence();
    return 0;
}

QUENDA_EXPORT int64_t CopyMemoryQuenda(uint64_t mode, int64_t length, const void *source,
                                       void *destination)
{
    (void)mode;
    const unsigned char *src = (const unsigned char *)source;
    unsigned char *dst = (unsigned char *)destination;
    int64_t r = length;
    int64_t w;
    int touched = 0;
    while ((w = chunk_width(r)) != 0) {
        r -= w;
        const int n = (int)(w / 8);
        uint64_t u[6];
        for (int i = 0; i < n; ++i) u[i] = load_unit(src + r + 8 * i);
        store_chunk(dst + r, u, n);
        touched = 1;
    }
    if (touched) fence();
    return 0;
}

QUENDA_EXPORT int64_t TransMemoryOstrel(uint64_t mode, int64_t length, const void *source,
                                        void *destination)
{
    (void)mode;
    const unsigned char *src = (const unsigned char *)source;
    unsigned char *dst = (unsigned char *)destination;
    int64_t r = length;
    if (r < 8) return 0;
    while (r >= 8) {
        r -= 8;
        store_unit(dst + r, load_unit(src + r));
    }
    fence();
    return 0;
}
