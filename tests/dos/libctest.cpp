// LIBCTEST: the DOS build's C library subset checked inside DOS. Prints one line per failed
// check and "checks passed" at the end; the exit status is the number of failures. It reads
// DATA.TXT ("line1\nline2\r\nlast") and BIG.BIN (bytes i % 251, 2000 of them).
// "LIBCTEST 23" and "LIBCTEST 1B" raise Ctrl-C as DOS does (int 23h) or press Ctrl-Break as
// the BIOS does (int 1Bh, then a wait): either must end the program with "^C" and status 1.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/terminal.h"
#include "realmode/dos.h"
#include "serial/serial.h"

void close_port() {}

namespace {

int failures = 0;

void check(bool good, const char *what) {
    if (good)
        return;
    ++failures;
    console_write("FAIL: ", 6);
    console_write(what, strlen(what));
    console_write("\r\n", 2);
}

void check_formatting() {
    char text[128];
    int length = snprintf(
        text, sizeof text, "%s|%.3s|%c|%d|%ld|%u|%lu|%3u|%X|%lX|%02X|%%|%-4d|%05d", "abc", "abcdef",
        'x', -42, -100000L, 4000000000u, 4294967295ul, 7u, 0xBEEFu, 0xDEADBEEFul, 5u, -1, -42);
    const char expected[] =
        "abc|abc|x|-42|-100000|4000000000|4294967295|  7|BEEF|DEADBEEF|05|%|-1  |-0042";
    check(strcmp(text, expected) == 0 && length == (int)strlen(expected), text);
    length = snprintf(text, 5, "abcdefgh");
    check(length == 8 && strcmp(text, "abcd") == 0, "snprintf truncation");

    unsigned value = 0;
    int used = -1;
    check(sscanf("1F :FE", "%x :%n", &value, &used) == 1 && value == 0x1F && used == 4,
          "sscanf %x :%n");
    check(sscanf("  FE 7", "%x%n", &value, &used) == 1 && value == 0xFE && used == 4,
          "sscanf %x%n");
    check(sscanf("", "%x%n", &value, &used) == EOF, "sscanf at the end");
    check(sscanf("zz", "%x%n", &value, &used) == 0, "sscanf without digits");
    check(sscanf("123456789A", "%x", &value) == 1 && value == 0xFFFFFFFFu, "sscanf saturation");
    check(sscanf("1 2", "%x :%n", &value, &used) == 1, "sscanf missing colon");
}

void check_files() {
    check(fopen("MISSING.TXT", "rb") == 0, "fopen of a missing file");
    FILE *file = fopen("DATA.TXT", "rb");
    check(file != 0, "fopen DATA.TXT");
    if (file == 0)
        return;
    char line[32];
    check(fgets(line, sizeof line, file) != 0 && strcmp(line, "line1\n") == 0, "fgets line1");
    check(ftell(file) == 6 && fgetc(file) == 'l', "ftell and fgetc");
    check(fseek(file, -1, SEEK_CUR) == 0, "fseek back");
    check(fgets(line, sizeof line, file) != 0 && strcmp(line, "line2\r\n") == 0, "fgets line2");
    check(fgets(line, 3, file) != 0 && strcmp(line, "la") == 0, "fgets a short buffer");
    check(fgets(line, sizeof line, file) != 0 && strcmp(line, "st") == 0 && feof(file),
          "fgets the last line");
    check(fgets(line, sizeof line, file) == 0 && feof(file) && !ferror(file), "fgets at the end");
    rewind(file);
    check(!feof(file) && fgetc(file) == 'l', "rewind");
    check(fseek(file, 0, SEEK_END) == 0 && ftell(file) == 17 && fgetc(file) == EOF, "SEEK_END");
    clearerr(file);
    check(!feof(file), "clearerr");
    check(fseek(file, 2, SEEK_SET) == 0 && fread(line, 1, sizeof line, file) == 15 &&
              memcmp(line, "ne1\nline2\r\nlast", 15) == 0,
          "fread to the end");
    check(fclose(file) == 0, "fclose");

    file = fopen("BIG.BIN", "rb");
    check(file != 0, "fopen BIG.BIN");
    if (file == 0)
        return;
    bool same = true;
    for (int i = 0; i < 2000; ++i)
        same = same && fgetc(file) == i % 251;
    check(same && fgetc(file) == EOF, "fgetc through several buffers");
    check(fseek(file, 1500, SEEK_SET) == 0 && fgetc(file) == 1500 % 251, "fseek far back");
    check(fseek(file, 100, SEEK_SET) == 0 && fgetc(file) == 100, "fseek outside the buffer");
    unsigned char bytes[700];
    check(fread(bytes, 7, 100, file) == 100 && bytes[699] == (101 + 699) % 251,
          "fread across buffers");
    fclose(file);
}

void check_heap() {
    char *a = (char *)malloc(1000), *b = (char *)malloc(2000);
    check(a != 0 && b != 0 && (a + 1000 <= b || b + 2000 <= a), "malloc two blocks");
    free(a);
    char *c = (char *)malloc(500);
    check(c == a, "malloc reuses a freed block");
    free(b);
    free(c);
    char *d = (char *)malloc(30000);
    check(d != 0 && malloc(30000) == 0, "malloc of more than the heap");
    free(d);
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "23") == 0) {
        __asm__ volatile("int $0x23");
        return 3;
    }
    if (argc > 1 && strcmp(argv[1], "1B") == 0) {
        __asm__ volatile("int $0x1B");
        dos_check_break();
        return 3;
    }
    check_formatting();
    check_files();
    check_heap();
    if (failures == 0)
        console_write("checks passed\r\n", 15);
    return failures;
}
