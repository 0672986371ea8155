// Motorola S-records as this program reads them: record layout, hexadecimal fields,
// checksums, and the validity check made right after the image file is opened.
#ifndef IMAGE_SRECORD_H
#define IMAGE_SRECORD_H

#include <stdint.h>
#include <stdio.h>

// The one open stream on the firmware image ("rb"); the program flow opens and closes it.
extern FILE *image_file;

// Reader messages are formatted here (80 characters and the NUL), then printed.
const unsigned MESSAGE_BUFFER_SIZE = 81;
extern char message_buffer[MESSAGE_BUFFER_SIZE];

// A record body after its type character: count, payload, checksum and line-end character,
// 2 * C + 3 characters. Sized for the count byte's full range, so no count can overflow it.
const unsigned RECORD_BUFFER_SIZE = 2 * 255 + 3;
extern char record_buffer[RECORD_BUFFER_SIZE];

// Record ordinal in a reading pass, for the messages that name a line.
typedef int32_t line_number_t;

// is_srecord_image: true when the file starts with "S" and a decimal digit; leaves the file
// at its first character. Prints nothing.
bool is_srecord_image(FILE *file);

// hex_byte: the byte of two hexadecimal characters, either case; never rejects a character
// (the record checksum catches nonsense).
unsigned char hex_byte(char high, char low);

// read_image_char: the next character of image_file (0-255), or EOF at its end or on an error.
int read_image_char();

// start_image_read_ahead: from here on the reads above may take image_file in large blocks,
// ahead of the stream's own position, until stop_image_read_ahead or rewind_image_file.
void start_image_read_ahead();

// stop_image_read_ahead: gives the characters read ahead and not yet consumed back to the
// stream, so that image_file stands at the next unread character again.
void stop_image_read_ahead();

// rewind_image_file: image_file back to its first character, its end-of-file and error
// indicators cleared, read-ahead stopped; false when the stream cannot be repositioned.
bool rewind_image_file();

// check_record_body: reads count, payload, checksum and line end into record; true when the
// record is complete, its count non-zero and its checksum right (else the checksum message).
bool check_record_body(char *record);

// record_count_byte: the count byte C of the body in record.
unsigned record_count_byte(const char *record);

// parse_record_address: big-endian value of payload bytes 0 .. address_length - 1.
uint32_t parse_record_address(const char *record, unsigned address_length);

// check_header_record, check_terminator_record: the body check and nothing more.
bool check_header_record(char *record);
bool check_terminator_record(char *record);

// check_count_record: checks an S5 record against data_record_count; prints its messages.
bool check_count_record(char *record, uint32_t data_record_count);

#endif
