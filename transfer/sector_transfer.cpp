// Sector mode: each sector is built from the whole file, announced by a checksummed header and
// sent as acknowledged 128-byte blocks; one end byte tells the target the outcome.
#include "transfer.h"

#include "app/console.h"
#include "image/sector_buffer.h"
#include "image/sector_image.h"
#include "image/srecord.h"
#include "serial/serial.h"
#include "session/control_bytes.h"
#include "transfer/crc32.h"
#include "transfer/progress.h"

namespace {

const char IMAGE_TOO_LARGE[] = "\r\nERROR - Image does not fit the target's sectors.\r\n";
const char IMAGE_EMPTY[] = "\r\nERROR - Image holds no data to download.\r\n";

const unsigned HEADER_LENGTH = 9;
const unsigned CRC_LENGTH = 4;
const uint32_t MAX_SECTOR_COUNT = 255;
const unsigned MAX_UNEXPECTED_HEADER_ANSWERS = 4;

const unsigned HEADER_ANSWER_ATTEMPTS = 5;
const unsigned BLOCK_ANSWER_ATTEMPTS = 5;
const unsigned PROGRAMMING_ATTEMPTS = 15; // the target programs the sector after its FS

// Sectors 1 .. count reach highest_address. Divided first so that an address near the top of
// the 32-bit range cannot overflow the rounding up.
uint32_t sectors_needed(uint32_t highest_address, uint32_t sector_size) {
    return highest_address / sector_size + (highest_address % sector_size != 0 ? 1 : 0);
}

// Sector-mode progress lives for the whole run: a later transfer goes on from it, and resent
// blocks count too. Its total is 0 until the run's first sector sets it.
uint32_t sector_bytes_sent = 0;
progress_counter sector_progress = {0, 1, 0};

// The blocks of the sector in the buffer, then FS and the target's ACK.
bool send_sector_blocks(uint32_t sector_size, uint32_t sector_count) {
    // 1. The percentage is taken over every sector sent, the 0xFF-filled gaps included.
    uint32_t total = sector_count * sector_size;
    if (sector_progress.total == 0)
        start_progress(&sector_progress, total);
    sector_progress.total = total;
    uint32_t bytes_at_sector_start = sector_bytes_sent;

    // 2. Stop-and-wait: each block waits for its ACK; a NAK has it written again.
    uint32_t offset = 0;
    while (offset < sector_size) {
        const unsigned char *block = sector_buffer_block(offset);
        unsigned char crc[CRC_LENGTH];
        put_u32_be(crc, block_crc(block, BLOCK_SIZE));
        if (!send_bytes(block, BLOCK_SIZE) || !send_bytes(crc, CRC_LENGTH))
            return false;
        sector_bytes_sent += BLOCK_SIZE;
        update_progress(&sector_progress, sector_bytes_sent);

        unsigned char answer;
        if (!receive_byte(&answer, BLOCK_ANSWER_ATTEMPTS, ECHO_OFF))
            return false;
        if (answer == NAK)
            continue;
        if (answer != ACK)
            return false;

        // 3. RS between blocks; after the last one FS, and the target then programs the
        // sector before it answers.
        offset += BLOCK_SIZE;
        bool last = offset >= sector_size;
        bool separated = send_byte(last ? FS : RS);
        if (separated && last)
            separated = receive_byte(&answer, PROGRAMMING_ATTEMPTS, ECHO_OFF) && answer == ACK;
        if (!separated) {
            // Nothing of this sector counts as delivered, so the display goes back to its start.
            sector_bytes_sent = bytes_at_sector_start;
            set_progress_back(&sector_progress, bytes_at_sector_start);
            return false;
        }
    }
    return true;
}

// One header exchange: true once the target took the header and every block of the sector.
bool send_sector(uint32_t n, uint32_t sector_size, uint32_t sector_count,
                 unsigned *unexpected_answers) {
    unsigned char header[HEADER_LENGTH];
    header[0] = SOH;
    put_u32_be(header + 1, n);
    put_u32_be(header + 5, block_crc(header + 1, 4));
    for (;;) {
        // A header that cannot be written or gets no answer ends the transfer: going on would
        // leave the target without the sector.
        if (!send_bytes(header, HEADER_LENGTH))
            return false;
        unsigned char answer;
        if (!receive_byte(&answer, HEADER_ANSWER_ATTEMPTS, ECHO_OFF))
            return false;
        if (answer == ACK)
            return send_sector_blocks(sector_size, sector_count);
        if (answer == CAN) {
            drain_input();
            return false;
        }
        // NAKs are the target's to ration; anything else counts against the whole transfer.
        if (answer != NAK && ++*unexpected_answers > MAX_UNEXPECTED_HEADER_ANSWERS)
            return false;
    }
}

} // namespace

void start_sector_progress() {
    sector_bytes_sent = 0;
    start_progress(&sector_progress, 0);
}

bool send_sectors(uint32_t sector_size) {
    bool success = true;
    uint32_t sector_count = 1;
    unsigned unexpected_answers = 0;

    for (uint32_t n = 1; success && n <= sector_count; ++n) {
        // 1. Build sector n from the whole file.
        uint32_t highest_address = 0;
        uint32_t window_start = n * sector_size;
        sector_buffer_fill();
        if (!build_sector_image(window_start, window_start + sector_size - 1, &highest_address)) {
            // No header for a sector that could not be built. The failed pass leaves the file
            // where it stopped; a later transfer, or line mode, must start at its beginning, not
            // in the middle of a record.
            rewind_image_file();
            success = false;
            break;
        }

        // 2. The first pass tells how many sectors the image needs. Too many are refused rather
        // than cut to what the header count can hold, which would drop sectors silently; none
        // at all would send nothing yet end in EOT, over a progress total of 0.
        if (n == 1) {
            // Data wholly below sector 1 (never sent) is no image for the target: sending sector
            // 1 all 0xFF would erase it and call that a success.
            sector_count =
                highest_address < sector_size ? 0 : sectors_needed(highest_address, sector_size);
            if (sector_count == 0 || sector_count > MAX_SECTOR_COUNT) {
                console_print(sector_count == 0 ? IMAGE_EMPTY : IMAGE_TOO_LARGE);
                success = false;
                break;
            }
        }

        // 3. Header, blocks, and the target's word that the sector is programmed.
        if (!send_sector(n, sector_size, sector_count, &unexpected_answers))
            success = false;
    }

    // EOT only when the target acknowledged every sector's final FS. A target that never got
    // the EOT has not been told the image is complete, so that is no success either.
    bool ended = send_byte(success ? EOT : NAK);
    return success && ended;
}
