// The DOS build's heap: the free part of the data segment between the BSS and the stack.
#ifndef DOS_STDLIB_H
#define DOS_STDLIB_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

void *malloc(size_t size);
void free(void *block);

#ifdef __cplusplus
}
#endif

#endif
