// The transfer itself: the sector-size exchange, sector mode and line mode.
#ifndef TRANSFER_TRANSFER_H
#define TRANSFER_TRANSFER_H

#include <stdint.h>

// request_sector_size: true with *sector_size 32768 or 131072 (sector mode) or 0 (line mode);
// false when no usable answer came (*sector_size untouched).
bool request_sector_size(uint32_t *sector_size);

// drain_input: reads and shows (echo on) whatever the target sends, until 2 s of silence or
// MAX_TARGET_CHATTER bytes.
void drain_input();

// Line mode. These values live for the whole run: the bytes of the lines sent (resends not
// counted), and whether the file has run out.
extern uint32_t line_bytes_sent;
extern bool end_of_file;

// start_line_mode: nothing read or sent yet; the next line is the one image_file stands at.
void start_line_mode();

// send_next_line: reads and sends the next line of image_file (S7/S9 sent as S8). False with
// end_of_file set at the normal end of the file (nothing printed), else false after a message.
bool send_next_line();

// resend_line: announces and sends the last line again, paced; false on a write failure.
bool resend_line();

// whole_file_sent: no byte of the file is left unread, or the line last sent is a terminator
// record.
bool whole_file_sent();

// start_sector_progress: sector-mode progress at 0 %. It then lives for the whole run: a
// transfer that follows a failed one goes on from it.
void start_sector_progress();

// send_sectors: builds and sends sectors 1 .. sector_count from the sector buffer (already
// allocated with sector_size bytes), then EOT; true only when the target acknowledged every
// sector's final FS and the EOT was written. On any failure sends NAK instead of EOT and
// returns false.
bool send_sectors(uint32_t sector_size);

#endif
