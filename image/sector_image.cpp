#include "sector_image.h"

#include "app/console.h"
#include "app/terminal.h"
#include "sector_buffer.h"
#include "srecord.h"

namespace {

// One spinner step per this many records shows a long pass is alive.
const unsigned SPINNER_PERIOD = 512;
const char SPINNER_CHARS[4] = {'-', '\\', '|', '/'};

// The pass's own message for a read error of image_file (not its end), which fails the pass.
const char IMAGE_READ_ERROR_MESSAGE[] = "\n\rError reading image file.\n\n\r";

// What parse_data_record gives back about one data record.
struct data_record_fields {
    uint32_t address; // first address of the record
    uint32_t count;   // data bytes, cut to the window when the record overlaps it
    uint32_t skip;    // leading data bytes that lie before the window
    bool overlaps;    // some byte of the record lies inside the window
};

// Ends a pass that failed: message (if any) first, then the read error when that is what cut
// a record short, and the stream left at the first character not consumed.
bool fail_pass(const char *message) {
    if (message != NULL)
        console_print(message);
    if (ferror(image_file))
        console_print(IMAGE_READ_ERROR_MESSAGE);
    stop_image_read_ahead();
    return false;
}

void place_data(const data_record_fields *fields, unsigned address_length, uint32_t window_start) {
    const char *data = record_buffer + 2 + 2 * address_length + 2 * fields->skip;
    uint32_t index = fields->address + fields->skip - window_start;
    for (uint32_t i = 0; i < fields->count; ++i, data += 2)
        sector_buffer_store(index + i, hex_byte(data[0], data[1]));
}

// Reads the body of a data record with address_length address bytes and works out its
// placement against the window; false when the body check fails or the count leaves no room
// for the address. A record without data bytes neither overlaps nor raises *highest_address;
// bytes that would lie past address 0xFFFFFFFF are dropped.
bool parse_data_record(char *record, unsigned address_length, uint32_t window_start,
                       uint32_t window_end, uint32_t *highest_address, data_record_fields *fields) {
    // 1. The body; a count too small for the address leaves nothing to take it from.
    if (!check_record_body(record))
        return false;
    unsigned count_byte = record_count_byte(record);
    if (count_byte < address_length + 1)
        return false;

    // 2.-3. Address and data bytes. Bytes that would lie past the top of the address space are
    // dropped, so the last address cannot wrap round below the first.
    fields->address = parse_record_address(record, address_length);
    fields->count = count_byte - address_length - 1;
    fields->skip = 0;
    fields->overlaps = false;
    if (fields->count == 0)
        return true;
    uint32_t room = 0xFFFFFFFFUL - fields->address;
    if (fields->count - 1 > room)
        fields->count = room + 1;
    uint32_t last_address = fields->address + fields->count - 1;

    // 4. Every data record counts towards the image's extent, inside the window or not.
    if (last_address > *highest_address)
        *highest_address = last_address;

    // 5.-6. Only the part inside the window is placed.
    if (last_address < window_start || fields->address > window_end)
        return true;
    fields->overlaps = true;
    if (fields->address < window_start)
        fields->skip = window_start - fields->address;
    uint32_t placed_last = last_address > window_end ? window_end : last_address;
    fields->count = placed_last - (fields->address + fields->skip) + 1;
    return true;
}

} // namespace

bool build_sector_image(uint32_t window_start, uint32_t window_end, uint32_t *highest_address) {
    // 1. A fresh pass.
    line_number_t line_number = 0;
    uint32_t data_record_count = 0;
    unsigned spinner_position = 0;
    bool terminated = false;
    clearerr(image_file);
    start_image_read_ahead();

    // 2.-3. Record after record until the end of the file or a terminator.
    int c = read_image_char();
    while (c != EOF) {
        ++line_number;
        if (line_number % SPINNER_PERIOD == 0) {
            // Straight to the terminal: the spinner must not end an open progress line.
            char spinner[2] = {SPINNER_CHARS[spinner_position], '\b'};
            console_write(spinner, sizeof spinner);
            spinner_position = (spinner_position + 1) % 4;
        }
        if (c != 'S') {
            snprintf(message_buffer, MESSAGE_BUFFER_SIZE,
                     "\n\rRead 0x%X instead of 'S' on line %ld.\n\n\r", (unsigned)c,
                     (long)line_number);
            return fail_pass(message_buffer);
        }

        int type = read_image_char();
        switch (type) {
        case '0':
        case '9':
            if (!check_header_record(record_buffer))
                return fail_pass("\n\rHeader record format error\n\n\r");
            break;
        case '1':
        case '2':
        case '3': {
            unsigned address_length = (unsigned)(type - '0') + 1;
            ++data_record_count;
            data_record_fields fields;
            if (!parse_data_record(record_buffer, address_length, window_start, window_end,
                                   highest_address, &fields))
                return fail_pass(NULL);
            if (fields.overlaps)
                place_data(&fields, address_length, window_start);
            break;
        }
        case '5':
            if (!check_count_record(record_buffer, data_record_count))
                return fail_pass(NULL);
            break;
        case '7':
        case '8':
            if (!check_terminator_record(record_buffer))
                return fail_pass("\n\rTerminator record format error\n\n\r");
            terminated = true;
            break;
        default:
            // The end of the file right after an "S" lands here too, as EOF's code.
            snprintf(message_buffer, MESSAGE_BUFFER_SIZE,
                     "\n\rUnrecognized record type %X on line %ld.\n\n\r", (unsigned)type,
                     (long)line_number);
            return fail_pass(message_buffer);
        }
        if (terminated)
            break;

        // Line ends and blank lines up to the next record.
        do
            c = read_image_char();
        while (c == '\r' || c == '\n');
    }

    // A read error also ends the characters, but is no end of the file.
    if (ferror(image_file))
        return fail_pass(NULL);

    // 4.-5. Ready for the next pass.
    if (!rewind_image_file()) {
        console_print(IMAGE_READ_ERROR_MESSAGE);
        return false;
    }
    return true;
}
