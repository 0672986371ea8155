// The DOS build's stdio: formatted output into buffers and buffered reading of files through
// DOS handles; nothing is written through streams.
#ifndef DOS_STDIO_H
#define DOS_STDIO_H

#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct dos_file FILE;

#define EOF (-1)
#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2

FILE *fopen(const char *name, const char *mode);
int fclose(FILE *file);
int fgetc(FILE *file);
int ungetc(int c, FILE *file);
size_t fread(void *buffer, size_t size, size_t count, FILE *file);
char *fgets(char *buffer, int size, FILE *file);
int fseek(FILE *file, long offset, int origin);
long ftell(FILE *file);
int feof(FILE *file);
int ferror(FILE *file);
void clearerr(FILE *file);

int snprintf(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int vsnprintf(char *buffer, size_t size, const char *format, va_list args);
int sscanf(const char *text, const char *format, ...);

#ifdef __cplusplus
}
#endif

#endif
