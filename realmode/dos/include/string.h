#ifndef DOS_STRING_H
#define DOS_STRING_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

void *memcpy(void *to, const void *from, size_t count);
void *memmove(void *to, const void *from, size_t count);
void *memset(void *to, int value, size_t count);
int memcmp(const void *a, const void *b, size_t count);
size_t strlen(const char *text);
int strncmp(const char *a, const char *b, size_t count);
char *strstr(const char *text, const char *wanted);

#ifdef __cplusplus
}
#endif

#endif
