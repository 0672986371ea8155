// Builds one sector's contents from the whole S-record file; the file is read once per sector.
#ifndef IMAGE_SECTOR_IMAGE_H
#define IMAGE_SECTOR_IMAGE_H

#include <stdint.h>

// build_sector_image: one complete pass from image_file's first character: stores every data
// byte inside [window_start, window_end] into the sector buffer at address - window_start and
// raises *highest_address to the highest last address of any data record. True after a
// complete pass (file back at its start); false at the first bad record, after its message,
// or at a read error of image_file, after "\n\rError reading image file.\n\n\r".
bool build_sector_image(uint32_t window_start, uint32_t window_end, uint32_t *highest_address);

#endif
