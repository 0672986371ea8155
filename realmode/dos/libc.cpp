// The C library subset of the DOS build: strings, a near heap, formatted output into
// buffers, the sscanf patterns the flash-map check uses, and buffered reading of files
// through DOS handles.
#include <ctype.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dos.h"

// ---- Strings ----

extern "C" {

void *memcpy(void *to, const void *from, size_t count) {
    unsigned char *t = (unsigned char *)to;
    const unsigned char *f = (const unsigned char *)from;
    while (count-- > 0)
        *t++ = *f++;
    return to;
}

void *memmove(void *to, const void *from, size_t count) {
    unsigned char *t = (unsigned char *)to;
    const unsigned char *f = (const unsigned char *)from;
    if (t <= f || t >= f + count)
        return memcpy(to, from, count);
    while (count-- > 0)
        t[count] = f[count];
    return to;
}

void *memset(void *to, int value, size_t count) {
    unsigned char *t = (unsigned char *)to;
    while (count-- > 0)
        *t++ = (unsigned char)value;
    return to;
}

int memcmp(const void *a, const void *b, size_t count) {
    const unsigned char *x = (const unsigned char *)a;
    const unsigned char *y = (const unsigned char *)b;
    for (; count > 0; --count, ++x, ++y) {
        if (*x != *y)
            return *x - *y;
    }
    return 0;
}

size_t strlen(const char *text) {
    size_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

int strncmp(const char *a, const char *b, size_t count) {
    for (; count > 0; --count, ++a, ++b) {
        if (*a != *b || *a == '\0')
            return (unsigned char)*a - (unsigned char)*b;
    }
    return 0;
}

char *strstr(const char *text, const char *wanted) {
    size_t length = strlen(wanted);
    for (; *text != '\0'; ++text) {
        if (strncmp(text, wanted, length) == 0)
            return (char *)text;
    }
    return length == 0 ? (char *)text : 0;
}

} // extern "C"

// ---- Heap ----

extern "C" char __heap_start[];
extern "C" char __heap_end[];

namespace {

// First fit over blocks that follow each other from the heap's start; each block's header
// gives its size (header included) and whether it is free. Neighbouring free blocks merge.
struct heap_block {
    uint16_t size;
    uint16_t free;
};

const uint16_t HEAP_ALIGN = 4;
bool heap_ready = false;

heap_block *heap_first() {
    return (heap_block *)__heap_start;
}

heap_block *heap_next(heap_block *block) {
    return (heap_block *)((char *)block + block->size);
}

// The last header, of size 0, marks the end.
bool heap_is_end(heap_block *block) {
    return block->size == 0;
}

void heap_init() {
    heap_block *first = heap_first();
    first->size = (uint16_t)(__heap_end - __heap_start - sizeof(heap_block));
    first->free = 1;
    heap_block *end = heap_next(first);
    end->size = 0;
    end->free = 0;
    heap_ready = true;
}

} // namespace

extern "C" void *malloc(size_t size) {
    if (!heap_ready)
        heap_init();
    if (size == 0 || size > 0xF000)
        return 0;
    uint16_t needed = (uint16_t)((size + sizeof(heap_block) + HEAP_ALIGN - 1) & ~(HEAP_ALIGN - 1));
    for (heap_block *block = heap_first(); !heap_is_end(block); block = heap_next(block)) {
        if (!block->free)
            continue;
        while (!heap_is_end(heap_next(block)) && heap_next(block)->free)
            block->size = (uint16_t)(block->size + heap_next(block)->size);
        if (block->size < needed)
            continue;
        if (block->size - needed >= (int)(2 * sizeof(heap_block))) {
            heap_block *rest = (heap_block *)((char *)block + needed);
            rest->size = (uint16_t)(block->size - needed);
            rest->free = 1;
            block->size = needed;
        }
        block->free = 0;
        return block + 1;
    }
    return 0;
}

extern "C" void free(void *pointer) {
    if (pointer != 0)
        ((heap_block *)pointer - 1)->free = 1;
}

// ---- Formatted output ----

namespace {

struct output {
    char *buffer;
    size_t size;
    size_t length; // as if the buffer were large enough
};

void put(output *out, char c) {
    if (out->length + 1 < out->size)
        out->buffer[out->length] = c;
    ++out->length;
}

void put_padded(output *out, const char *text, size_t length, unsigned width, bool left, char pad) {
    unsigned fill = width > length ? width - (unsigned)length : 0;
    if (!left) {
        for (; fill > 0; --fill)
            put(out, pad);
    }
    for (size_t i = 0; i < length; ++i)
        put(out, text[i]);
    for (; fill > 0; --fill)
        put(out, ' ');
}

// Digits of value in base 10 or 16, into the end of digits; returns where they start.
char *format_number(char *end, uint32_t value, unsigned base, bool upper) {
    const char *symbols = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    *--end = '\0';
    do {
        *--end = symbols[value % base];
        value /= base;
    } while (value != 0);
    return end;
}

} // namespace

extern "C" int vsnprintf(char *buffer, size_t size, const char *format, va_list args) {
    output out = {buffer, size, 0};
    for (const char *f = format; *f != '\0'; ++f) {
        if (*f != '%') {
            put(&out, *f);
            continue;
        }
        // Flags, width, precision, length.
        bool left = false;
        char pad = ' ';
        for (;; ++f) {
            if (f[1] == '-')
                left = true;
            else if (f[1] == '0')
                pad = '0';
            else
                break;
        }
        unsigned width = 0;
        while (f[1] >= '0' && f[1] <= '9')
            width = width * 10 + (unsigned)(*++f - '0');
        bool have_precision = false;
        unsigned precision = 0;
        if (f[1] == '.') {
            ++f;
            have_precision = true;
            while (f[1] >= '0' && f[1] <= '9')
                precision = precision * 10 + (unsigned)(*++f - '0');
        }
        while (f[1] == 'l' || f[1] == 'h')
            ++f; // int and long are both 32 bits here
        char conversion = *++f;
        if (left)
            pad = ' ';

        char digits[16];
        char *text;
        switch (conversion) {
        case 'd':
        case 'i': {
            int32_t value = va_arg(args, int32_t);
            uint32_t magnitude = value < 0 ? 0u - (uint32_t)value : (uint32_t)value;
            text = format_number(digits + sizeof digits, magnitude, 10, false);
            if (value < 0) {
                if (pad == '0') {
                    put(&out, '-');
                    width = width > 0 ? width - 1 : 0;
                } else {
                    *--text = '-';
                }
            }
            put_padded(&out, text, strlen(text), width, left, pad);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            uint32_t value = va_arg(args, uint32_t);
            text = format_number(digits + sizeof digits, value, conversion == 'u' ? 10 : 16,
                                 conversion == 'X');
            put_padded(&out, text, strlen(text), width, left, pad);
            break;
        }
        case 'c': {
            char c = (char)va_arg(args, int);
            put_padded(&out, &c, 1, width, left, ' ');
            break;
        }
        case 's': {
            const char *s = va_arg(args, const char *);
            if (s == 0)
                s = "(null)";
            size_t length = 0;
            while (s[length] != '\0' && (!have_precision || length < precision))
                ++length;
            put_padded(&out, s, length, width, left, ' ');
            break;
        }
        case '%':
            put(&out, '%');
            break;
        default: // unknown or cut short: shown as written
            put(&out, '%');
            if (conversion == '\0')
                --f;
            else
                put(&out, conversion);
            break;
        }
    }
    if (size > 0)
        buffer[out.length < size ? out.length : size - 1] = '\0';
    return (int)out.length;
}

extern "C" int snprintf(char *buffer, size_t size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int length = vsnprintf(buffer, size, format, args);
    va_end(args);
    return length;
}

// ---- Formatted input: %x, %d, %u and %n, blanks and literal characters ----

namespace {

int digit_value(char c, unsigned base) {
    int value = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : 99;
    return value < (int)base ? value : -1;
}

} // namespace

extern "C" int sscanf(const char *text, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const char *p = text;
    int assigned = 0;
    bool input_failed = false;
    for (const char *f = format; *f != '\0'; ++f) {
        if (isspace((unsigned char)*f)) {
            while (isspace((unsigned char)*p))
                ++p;
            continue;
        }
        if (*f != '%' || f[1] == '%') {
            if (*f == '%')
                ++f;
            if (*p != *f) {
                input_failed = *p == '\0';
                break;
            }
            ++p;
            continue;
        }
        char conversion = *++f;
        if (conversion == 'n') {
            *va_arg(args, int *) = (int)(p - text);
            continue;
        }
        unsigned base = conversion == 'x' ? 16 : 10;
        while (isspace((unsigned char)*p))
            ++p;
        const char *start = p;
        bool negative = false;
        if (*p == '-' || *p == '+')
            negative = *p++ == '-';
        if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2], 16) >= 0)
            p += 2;
        uint32_t value = 0;
        const char *digits = p;
        // Too many digits saturate, as the C library's conversion does.
        for (int d; (d = digit_value(*p, base)) >= 0; ++p)
            value = value > (0xFFFFFFFFu - (uint32_t)d) / base ? 0xFFFFFFFFu
                                                               : value * base + (uint32_t)d;
        if (p == digits) {
            input_failed = *start == '\0';
            break;
        }
        if (negative)
            value = 0u - value;
        if (conversion == 'd')
            *va_arg(args, int *) = (int)value;
        else
            *va_arg(args, unsigned *) = value;
        ++assigned;
    }
    va_end(args);
    return assigned == 0 && input_failed ? EOF : assigned;
}

// ---- Files: read-only, through DOS handles ----

struct dos_file {
    uint16_t handle;
    bool in_use;
    bool at_end;
    bool failed;
    uint32_t buffer_position; // file position of buffer[0]
    uint16_t buffer_length;
    uint16_t buffer_next;
    unsigned char buffer[512];
};

namespace {

const unsigned MAX_FILES = 2;
const uint16_t OPEN_READ_ONLY = 0x00;
dos_file files[MAX_FILES];

// Seeks the handle; false on a DOS error.
bool dos_seek(dos_file *file, int32_t offset, int origin, uint32_t *position) {
    dos_regs regs;
    dos_regs_init(&regs, (uint16_t)(DOS_SEEK_FILE | origin));
    regs.ebx = file->handle;
    regs.ecx = (uint16_t)((uint32_t)offset >> 16);
    regs.edx = (uint16_t)offset;
    dos_call(DOS_INTERRUPT, &regs);
    if (regs.flags & DOS_CARRY)
        return false;
    *position = (regs.edx & 0xFFFF) << 16 | (regs.eax & 0xFFFF);
    return true;
}

// Reads the next piece of the file into the buffer; false at the end or on an error.
bool refill(dos_file *file) {
    file->buffer_position += file->buffer_length;
    file->buffer_length = 0;
    file->buffer_next = 0;
    dos_regs regs;
    dos_regs_init(&regs, DOS_READ_FILE);
    regs.ebx = file->handle;
    regs.ecx = sizeof file->buffer;
    regs.edx = (uint16_t)(uintptr_t)file->buffer;
    dos_call(DOS_INTERRUPT, &regs);
    if (regs.flags & DOS_CARRY) {
        file->failed = true;
        return false;
    }
    file->buffer_length = (uint16_t)regs.eax;
    if (file->buffer_length == 0) {
        file->at_end = true;
        return false;
    }
    return true;
}

} // namespace

extern "C" {

FILE *fopen(const char *name, const char *mode) {
    if (mode[0] != 'r')
        return 0;
    for (dos_file *file = files; file < files + MAX_FILES; ++file) {
        if (file->in_use)
            continue;
        dos_regs regs;
        dos_regs_init(&regs, DOS_OPEN_FILE | OPEN_READ_ONLY);
        regs.edx = (uint16_t)(uintptr_t)name;
        dos_call(DOS_INTERRUPT, &regs);
        if (regs.flags & DOS_CARRY)
            return 0;
        memset(file, 0, sizeof *file);
        file->handle = (uint16_t)regs.eax;
        file->in_use = true;
        return file;
    }
    return 0;
}

int fclose(FILE *file) {
    if (file == 0 || !file->in_use)
        return EOF;
    dos_regs regs;
    dos_regs_init(&regs, DOS_CLOSE_FILE);
    regs.ebx = file->handle;
    dos_call(DOS_INTERRUPT, &regs);
    file->in_use = false;
    return (regs.flags & DOS_CARRY) ? EOF : 0;
}

int fgetc(FILE *file) {
    if (file->buffer_next >= file->buffer_length && !refill(file))
        return EOF;
    return file->buffer[file->buffer_next++];
}

// Only right after fgetc, as the program uses it: the byte is still in the buffer.
int ungetc(int c, FILE *file) {
    if (c == EOF || file->buffer_next == 0)
        return EOF;
    file->buffer[--file->buffer_next] = (unsigned char)c;
    return c;
}

size_t fread(void *buffer, size_t size, size_t count, FILE *file) {
    size_t total = size * count;
    unsigned char *to = (unsigned char *)buffer;
    size_t done = 0;
    while (done < total) {
        if (file->buffer_next >= file->buffer_length && !refill(file))
            break;
        size_t piece = file->buffer_length - file->buffer_next;
        if (piece > total - done)
            piece = total - done;
        memcpy(to + done, file->buffer + file->buffer_next, piece);
        file->buffer_next = (uint16_t)(file->buffer_next + piece);
        done += piece;
    }
    return size == 0 ? 0 : done / size;
}

char *fgets(char *buffer, int size, FILE *file) {
    int length = 0;
    while (length < size - 1) {
        int c = fgetc(file);
        if (c == EOF)
            break;
        buffer[length++] = (char)c;
        if (c == '\n')
            break;
    }
    if (length == 0 || file->failed)
        return 0;
    buffer[length] = '\0';
    return buffer;
}

long ftell(FILE *file) {
    return (long)(file->buffer_position + file->buffer_next);
}

int fseek(FILE *file, long offset, int origin) {
    int32_t target = (int32_t)offset;
    if (origin == SEEK_CUR) {
        target += (int32_t)ftell(file);
        origin = SEEK_SET;
    }
    if (origin == SEEK_SET) {
        if (target < 0)
            return -1;
        // Within what the buffer holds: no DOS call.
        uint32_t wanted = (uint32_t)target;
        if (wanted >= file->buffer_position &&
            wanted <= file->buffer_position + file->buffer_length) {
            file->buffer_next = (uint16_t)(wanted - file->buffer_position);
            file->at_end = false;
            return 0;
        }
    }
    uint32_t position;
    if (!dos_seek(file, target, origin, &position))
        return -1;
    file->buffer_position = position;
    file->buffer_length = 0;
    file->buffer_next = 0;
    file->at_end = false;
    return 0;
}

int feof(FILE *file) {
    return file->at_end;
}

int ferror(FILE *file) {
    return file->failed;
}

void clearerr(FILE *file) {
    file->at_end = false;
    file->failed = false;
}

} // extern "C"
