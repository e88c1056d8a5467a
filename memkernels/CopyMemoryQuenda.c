/* The CopyMemoryQuenda library. See CopyMemoryQuenda.h for the contract.
 *
 * Stores bypass the cache: the player streams buffers of up to 64 MB that it
 * will not read again soon, and polluting the cache with them would evict the
 * kernel and the convolution inputs that do need it. */
#include "CopyMemoryQuenda.h"

#include <string.h>

#define QUENDA_EXPORT __attribute__((visibility("default")))

/* QUENDA_PLAIN_STORES builds the portable form on x86-64 too, so that it is
 * tested where the project is built. */
#if defined(__x86_64__) && !defined(QUENDA_PLAIN_STORES)
#include <emmintrin.h>

/* One 8-byte streaming store (movnti has no alignment requirement). */
static inline void store_unit(unsigned char *p, uint64_t v)
{
    _mm_stream_si64((long long *)(void *)p, (long long)v);
}

/* Orders the streaming stores before anything the caller does next. */
static inline void store_fence(void) { _mm_sfence(); }
#else
/* Portable builds have no streaming store: a plain store leaves the same
 * bytes in memory. */
static inline void store_unit(unsigned char *p, uint64_t v) { memcpy(p, &v, 8); }

/* Plain stores are ordered by the caller's own synchronisation like any
 * other store, so they need no fence of their own. */
static inline void store_fence(void) {}
#endif

/* Units need no alignment, so every read goes through memcpy. */
static inline uint64_t load_unit(const unsigned char *p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

/* Width in bytes of the next chunk: the first of 48, 40, 32, 24, 16 and 8
 * that fits in the `remaining` count (signed: a negative count fits none),
 * 0 when none does. Every pass tries the widest width first, so only the
 * chunk at the bottom of a range can be narrower than 48. */
static inline int64_t chunk_width(int64_t remaining)
{
    if (remaining >= 48) return 48;
    if (remaining < 8) return 0;
    return remaining & ~(int64_t)7;
}

/* The two chunk writers below take values that the caller has already read
 * in full: every read of a chunk happens before its first write, which is
 * what makes a destination at or above an overlapping source come out right
 * and a clear whose fill value is the range's first unit keep that unit's
 * old value. The writes go upward, one streaming store per unit. */

static inline void store_six(unsigned char *d, uint64_t u0, uint64_t u1, uint64_t u2, uint64_t u3,
                             uint64_t u4, uint64_t u5)
{
    store_unit(d, u0);
    store_unit(d + 8, u1);
    store_unit(d + 16, u2);
    store_unit(d + 24, u3);
    store_unit(d + 32, u4);
    store_unit(d + 40, u5);
}

static inline void store_units(unsigned char *d, const uint64_t *u, int64_t n)
{
    for (int64_t i = 0; i < n; ++i) store_unit(d + 8 * i, u[i]);
}

QUENDA_EXPORT int64_t ClearMemoryQuenda(uint64_t mode, int64_t length, const void *source,
                                        void *destination)
{
    (void)mode;
    const unsigned char *fill = (const unsigned char *)source;
    unsigned char *dst = (unsigned char *)destination;
    int64_t r = length;
    int64_t w;
    while ((w = chunk_width(r)) != 0) {
        r -= w;
        /* The fill value is read for each chunk anew: when it is the range's
         * first unit, the bottom chunk reads it after the rest of the range
         * has been written and before the unit itself is. */
        if (w == 48) {
            const uint64_t v = load_unit(fill);
            store_six(dst + r, v, v, v, v, v, v);
        } else {
            uint64_t u[5];
            const int64_t n = w / 8;
            for (int64_t i = 0; i < n; ++i) u[i] = load_unit(fill);
            store_units(dst + r, u, n);
        }
    }
    store_fence();
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
    while ((w = chunk_width(r)) != 0) {
        r -= w;
        const unsigned char *s = src + r;
        if (w == 48) {
            const uint64_t u0 = load_unit(s), u1 = load_unit(s + 8), u2 = load_unit(s + 16);
            const uint64_t u3 = load_unit(s + 24), u4 = load_unit(s + 32), u5 = load_unit(s + 40);
            store_six(dst + r, u0, u1, u2, u3, u4, u5);
        } else {
            uint64_t u[5];
            const int64_t n = w / 8;
            for (int64_t i = 0; i < n; ++i) u[i] = load_unit(s + 8 * i);
            store_units(dst + r, u, n);
        }
    }
    store_fence();
    return 0;
}

QUENDA_EXPORT int64_t TransMemoryOstrel(uint64_t mode, int64_t length, const void *source,
                                        void *destination)
{
    (void)mode;
    const unsigned char *src = (const unsigned char *)source;
    unsigned char *dst = (unsigned char *)destination;
    /* Unit by unit from the top; a length that is not a multiple of 8 leaves
     * its first length mod 8 bytes unread and unwritten. */
    for (int64_t r = length; r >= 8;) {
        r -= 8;
        store_unit(dst + r, load_unit(src + r));
    }
    store_fence();
    return 0;
}
