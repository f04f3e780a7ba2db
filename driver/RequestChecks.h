/* The checks the registry-monitor driver makes on a request's buffers before it touches them.
 * Plain C with no kernel headers, so that a user-mode test can drive them with any value.
 *
 * Addresses and lengths are taken as 64-bit values whatever the build's pointer size, so that one
 * test can try both a 32-bit and a 64-bit user-space bound. */
#ifndef ORVANE_DRIVER_REQUEST_CHECKS_H
#define ORVANE_DRIVER_REQUEST_CHECKS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Nonzero when the `length` bytes from `start` lie wholly in user space, `userBound` being the
 * first address past it (the kernel's user probe address): the start is not null, the range does
 * not wrap, and it ends at or below the bound. */
int RegsysRangeInUserSpace(uint64_t start, uint64_t length, uint64_t userBound);

/* The user-space bound to check against: the one the kernel reports, but never above the highest a
 * kernel of `pointerBits` bits uses (0xBFFF0000 for 32 bits with a 3 GB user space,
 * 0x7FFFFFFF0000 for 64 bits). A kernel that reports no sensible value (Wine exports the name as a
 * function) still gets a bound no real user buffer lies above. */
uint64_t RegsysUserSpaceBound(uint64_t reported, unsigned pointerBits);

/* Nonzero when a registry callback may read the `length` bytes at `start` that a notification
 * handed it. A call made from kernel mode (`fromUserMode` zero) hands its own memory. For a call
 * from user mode the bytes must lie wholly in user space (they are then read with the guarded
 * copy), or wholly in system space with `kernelHolds` nonzero: the pointer was read from memory the
 * kernel itself holds (the notification's own structure, or a string structure the kernel captured),
 * and the kernel probes a user-mode caller's pointers before it captures them, so a system-space
 * pointer found there is the kernel's own copy. A system-space pointer read from memory the caller
 * still holds is the caller's word alone and is refused. */
int RegsysNotifiedRangeReadable(uint64_t start, uint64_t length, uint64_t userBound, int fromUserMode,
                                int kernelHolds);

/* Nonzero when a read-log output of `length` bytes has room for at least one record header. */
int RegsysReadLengthAcceptable(uint64_t length);

/* The bytes of records one read hands out at most: the output's length, capped at the size
 * readers offer, so that a read's kernel copy of its records stays small whatever length the
 * caller claims. */
uint32_t RegsysReadStagingSize(uint64_t outputLength);

/* Nonzero when an appended line of `length` bytes is neither empty nor longer than a line may be. */
int RegsysAppendLengthAcceptable(uint64_t length);

/* The lines of an append batch: `text` holds `length` bytes, each line ended by a LF. Answers the
 * number of lines and stores into *recordBytes the log bytes their records take; answers 0 when the
 * batch is empty or too long, holds a NUL, an empty line, a line longer than a line may be, or text
 * after its last LF. */
uint32_t RegsysBatchLines(const char* text, uint64_t length, uint32_t* recordBytes);

/* Nonzero when a version output of `length` bytes holds the 32-bit version. */
int RegsysVersionLengthAcceptable(uint64_t length);

/* Nonzero when a filter input of `length` bytes is exactly one filter block. */
int RegsysFilterLengthAcceptable(uint64_t length);

#ifdef __cplusplus
}
#endif

#endif
