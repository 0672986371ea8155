#include "srecord.h"

#include <string.h>

#include "app/console.h"

FILE *image_file = NULL;
char message_buffer[MESSAGE_BUFFER_SIZE];
char record_buffer[RECORD_BUFFER_SIZE];

namespace {

// A pass reads the whole file for every sector, so it reads through a block of its own rather
// than a stdio call per character. The block is only live while read-ahead is on; at every
// other time the stream's own position is the reading position, which line mode relies on.
const unsigned READ_AHEAD_SIZE = 4096;
char read_ahead[READ_AHEAD_SIZE];
unsigned read_ahead_next = 0;
unsigned read_ahead_end = 0;
bool read_ahead_on = false;

// Value of one hexadecimal character: digits from '0', upper-case letters from 'A' - 10,
// everything else from 'a' - 10, kept to its low 8 bits so that no character is rejected.
struct hex_digit_table {
    unsigned char value[256];
};

constexpr hex_digit_table make_hex_digit_table() {
    hex_digit_table table = {};
    for (unsigned code = 0; code < 256; ++code) {
        unsigned base = 0x57;
        if (code >= '0' && code <= '9')
            base = 0x30;
        else if (code >= 'A' && code <= 'Z')
            base = 0x37;
        table.value[code] = (unsigned char)(code - base);
    }
    return table;
}

constexpr hex_digit_table HEX_DIGITS = make_hex_digit_table();

inline unsigned char decode_hex(char high, char low) {
    // The high digit's stray bits above its nibble fall off the byte, the low digit's do not.
    return (unsigned char)((HEX_DIGITS.value[(unsigned char)high] << 4) |
                           HEX_DIGITS.value[(unsigned char)low]);
}

bool fill_read_ahead() {
    read_ahead_next = 0;
    read_ahead_end = (unsigned)fread(read_ahead, 1, READ_AHEAD_SIZE, image_file);
    return read_ahead_end != 0;
}

void drop_read_ahead() {
    read_ahead_next = 0;
    read_ahead_end = 0;
    read_ahead_on = false;
}

// Exactly count characters of image_file; true only if all arrived.
bool read_image_chars(char *buffer, unsigned count) {
    while (count > 0) {
        unsigned available = read_ahead_end - read_ahead_next;
        if (available == 0) {
            if (!read_ahead_on)
                return fread(buffer, 1, count, image_file) == count;
            if (!fill_read_ahead())
                return false;
            continue;
        }
        unsigned run = count < available ? count : available;
        memcpy(buffer, read_ahead + read_ahead_next, run);
        read_ahead_next += run;
        buffer += run;
        count -= run;
    }
    return true;
}

} // namespace

bool is_srecord_image(FILE *file) {
    if (fgetc(file) != 'S')
        return false;
    int type = fgetc(file);
    if (type == EOF || type < '0' || type > '9')
        return false;
    if (file == image_file)
        drop_read_ahead();
    return fseek(file, 0L, SEEK_SET) == 0;
}

unsigned char hex_byte(char high, char low) {
    return decode_hex(high, low);
}

int read_image_char() {
    if (read_ahead_next == read_ahead_end) {
        if (!read_ahead_on)
            return fgetc(image_file);
        if (!fill_read_ahead())
            return EOF;
    }
    return (unsigned char)read_ahead[read_ahead_next++];
}

void start_image_read_ahead() {
    read_ahead_next = 0;
    read_ahead_end = 0;
    read_ahead_on = true;
}

void stop_image_read_ahead() {
    long unread = (long)(read_ahead_end - read_ahead_next);
    drop_read_ahead();
    if (unread > 0)
        fseek(image_file, -unread, SEEK_CUR);
}

bool rewind_image_file() {
    drop_read_ahead();
    if (fseek(image_file, 0L, SEEK_SET) != 0)
        return false;
    clearerr(image_file);
    return true;
}

bool check_record_body(char *record) {
    // 1. The count, never 0.
    if (!read_image_chars(record, 2))
        return false;
    unsigned count = decode_hex(record[0], record[1]);
    if (count == 0)
        return false;

    // 2.-4. The payload and the one's complement of its sum with the count.
    unsigned payload_chars = 2 * (count - 1);
    char *payload = record + 2;
    if (!read_image_chars(payload, payload_chars))
        return false;
    unsigned sum = count;
    for (unsigned i = 0; i < payload_chars; i += 2)
        sum += decode_hex(payload[i], payload[i + 1]);
    unsigned char calculated = (unsigned char)~sum;

    // 5.-6. The checksum in the file.
    char *checksum = payload + payload_chars;
    if (!read_image_chars(checksum, 2))
        return false;
    unsigned char in_file = decode_hex(checksum[0], checksum[1]);
    if (in_file != calculated) {
        char text[80];
        snprintf(text, sizeof text, " \n\rIncorrect Checksum! File --> %X   Calculated --> %X",
                 (unsigned)in_file, (unsigned)calculated);
        console_print(text);
        return false;
    }

    // 7. One line-end character of any value.
    return read_image_chars(checksum + 2, 1);
}

unsigned record_count_byte(const char *record) {
    return decode_hex(record[0], record[1]);
}

uint32_t parse_record_address(const char *record, unsigned address_length) {
    uint32_t address = 0;
    for (unsigned i = 0; i < address_length; ++i)
        address = (address << 8) | decode_hex(record[2 + 2 * i], record[3 + 2 * i]);
    return address;
}

bool check_header_record(char *record) {
    return check_record_body(record);
}

bool check_terminator_record(char *record) {
    return check_record_body(record);
}

bool check_count_record(char *record, uint32_t data_record_count) {
    // Below 3 the count byte leaves no room for the two bytes of a record count.
    if (!check_record_body(record) || record_count_byte(record) < 3) {
        snprintf(message_buffer, MESSAGE_BUFFER_SIZE, "Count record format error\n\n\r");
        console_print(message_buffer);
        return false;
    }
    uint32_t file_count =
        ((uint32_t)decode_hex(record[2], record[3]) << 8) | decode_hex(record[4], record[5]);
    if (file_count != data_record_count) {
        console_print("\n\rRecord count error: \n\r");
        snprintf(message_buffer, MESSAGE_BUFFER_SIZE,
                 " File count = %lX,  Program count = %lX\n\n\r", (unsigned long)file_count,
                 (unsigned long)data_record_count);
        console_print(message_buffer);
        return false;
    }
    return true;
}
