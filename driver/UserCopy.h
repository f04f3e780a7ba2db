/* The copy of a read's records into the caller's buffer, one assembly file per architecture
 * (UserCopy_i686.S, UserCopy_x86_64.S). No kernel headers: the user-mode test runs the same code. */
#ifndef ORVANE_DRIVER_USER_COPY_H
#define ORVANE_DRIVER_USER_COPY_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Copies `size` bytes to `target`, a range already checked to lie in user space; answers nonzero
 * when every byte was written, zero when the target faulted part way. */
int RegsysCopyToUser(void* target, const void* source, size_t size);

#ifdef __cplusplus
}
#endif

#endif
