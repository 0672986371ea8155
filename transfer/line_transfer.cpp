// Line mode: the S-record lines of the image file go to the target as text, one per request.
#include "transfer.h"

#include <stdio.h>
#include <string.h>

#include "app/console.h"
#include "image/srecord.h"
#include "serial/serial.h"

namespace {

const char READ_FAILED[] = "\r\nERROR - Could not read next line in file.\r\n";
const char LINE_TOO_LONG[] = "\r\nERROR - Line in file is too long.\r\n";
const char SEND_FAILED[] = "\r\nERROR - Could not download record to system.\r\n";

// The last line read, at most 83 characters and its NUL; a resend repeats it.
const unsigned LINE_BUFFER_SIZE = 84;
char line_buffer[LINE_BUFFER_SIZE];
uint32_t line_length = 0;
uint32_t record_number = 0; // lines read; names the line in line_buffer

} // namespace

uint32_t line_bytes_sent = 0;
bool end_of_file = false;

void start_line_mode() {
    line_buffer[0] = '\0';
    line_length = record_number = line_bytes_sent = 0;
    end_of_file = false;
}

bool send_next_line() {
    if (end_of_file)
        return false;

    // 1. One line, its line feed included; a longer one leaves its rest for the next call.
    if (fgets(line_buffer, LINE_BUFFER_SIZE, image_file) == NULL) {
        if (feof(image_file) && !ferror(image_file)) {
            end_of_file = true;
            return false;
        }
        console_print(READ_FAILED);
        return false;
    }
    ++record_number;
    line_length = (uint32_t)strlen(line_buffer);

    // 2. Only whole lines go. A NUL in the file can make the text empty, so the length is
    // tested before the last character is looked at.
    if (line_length == 0 || line_buffer[line_length - 1] != '\n') {
        console_print(LINE_TOO_LONG);
        return false;
    }

    // 3. The target takes every terminator record as an S8 record.
    if (line_buffer[0] == 'S' && (line_buffer[1] == '7' || line_buffer[1] == '9'))
        line_buffer[1] = '8';

    if (!send_bytes((const unsigned char *)line_buffer, line_length)) {
        console_print(SEND_FAILED);
        return false;
    }
    line_bytes_sent += line_length;
    return true;
}

bool resend_line() {
    char message[40];
    snprintf(message, sizeof message, "Resending Record %lu\r\n", (unsigned long)record_number);
    console_print(message);
    // A target that rejected the line gets it slowly, a character at a time.
    if (!send_bytes_paced((const unsigned char *)line_buffer, line_length)) {
        console_print(SEND_FAILED);
        return false;
    }
    return true;
}

// The target's EOT says the image is complete, which it can be only once the whole file has
// gone: no byte of it left unread, or its terminator record (sent as S8) gone. One flipped bit
// turns an ACK (0x06) into an EOT (0x04): taken earlier, it would report a partial image as
// downloaded.
bool whole_file_sent() {
    if (end_of_file || (record_number > 0 && line_buffer[0] == 'S' && line_buffer[1] == '8'))
        return true;
    int next = fgetc(image_file);
    if (next == EOF)
        return !ferror(image_file);
    ungetc(next, image_file);
    return false;
}
