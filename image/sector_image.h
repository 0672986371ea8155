// Builds one sector's contents from the whole S-record file; the file is read once per sector.
#ifndef IMAGE_SECTOR_IMAGE_H
#define IMAGE_SECTOR_IMAGE_H

#include <stdint.h>

// One spinner step per this many records shows a long pass is alive.
const unsigned SPINNER_PERIOD = 512;

// What parse_data_record gives back about one data record.
struct data_record_fields {
    uint32_t address; // first address of the record
    uint32_t count;   // data bytes, cut to the window when the record overlaps it
    uint32_t skip;    // leading data bytes that lie before the window
    bool overlaps;    // some byte of the record lies inside the window
};

// The pass's own message for a read error of image_file (not its end), which fails the pass.
const char IMAGE_READ_ERROR_MESSAGE[] = "\n\rError reading image file.\n\n\r";

// build_sector_image: one complete pass from image_file's first character: stores every data
// byte inside [window_start, window_end] into the sector buffer at address - window_start and
// raises *highest_address to the highest last address of any data record. True after a
// complete pass (file back at its start); false at the first bad record, after its message,
// or at a read error of image_file, after IMAGE_READ_ERROR_MESSAGE.
bool build_sector_image(uint32_t window_start, uint32_t window_end, uint32_t *highest_address);

// parse_data_record: reads the body of a data record with address_length address bytes and
// works out its placement against the window; false when the body check fails or the count
// leaves no room for the address. A record without data bytes neither overlaps nor raises
// *highest_address; bytes that would lie past address 0xFFFFFFFF are dropped.
bool parse_data_record(char *record, unsigned address_length, uint32_t window_start,
                       uint32_t window_end, uint32_t *highest_address, data_record_fields *fields);

#endif
