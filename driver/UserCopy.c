#include "UserCopy.h"

#include <string.h>

/* Without structured exception handling a fault here is not caught. */
int RegsysCopyToUser(void* target, const void* source, size_t size) {
    memcpy(target, source, size);
    return 1;
}
