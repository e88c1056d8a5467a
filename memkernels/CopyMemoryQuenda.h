/* The CopyMemoryQuenda library: three routines that fill, copy and transfer
 * memory in 8-byte units with streaming stores.
 *
 * Every routine takes (mode, length, source, destination) and returns 0.
 * `mode` is ignored. A `length` below 8 (zero and negative included) touches
 * nothing. Units need no alignment. Ranges are walked from their end toward
 * their start, so a destination equal to or above an overlapping source is a
 * correct copy; a destination overlapping the source from below is not
 * supported. Each call ends with a store fence (builds with plain stores need
 * none), so the streaming stores are visible to any thread that synchronises
 * with the caller afterwards.
 */
#ifndef COPY_MEMORY_QUENDA_H
#define COPY_MEMORY_QUENDA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The `length` bytes at `destination` become copies of the 8-byte fill value
 * at `source`. A fill value at the range's own start fills the range with its
 * first unit as it was before the call. */
int64_t ClearMemoryQuenda(uint64_t mode, int64_t length, const void *source, void *destination);

/* The `length` bytes at `destination` become the `length` bytes at `source`,
 * in chunks of up to six units, widest first, from the top down. */
int64_t CopyMemoryQuenda(uint64_t mode, int64_t length, const void *source, void *destination);

/* Unit by unit from the top down: units at offsets length-8, length-16, ...
 * down to length mod 8. For a length that is not a multiple of 8 the first
 * length mod 8 bytes are neither read nor written. */
int64_t TransMemoryOstrel(uint64_t mode, int64_t length, const void *source, void *destination);

#ifdef __cplusplus
}
#endif

#endif
