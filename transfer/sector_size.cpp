// The sector-size exchange: one checksummed request, answered by four raw bytes or a control
// byte, which decides between sector mode and line mode.
#include "transfer.h"

#include "app/console.h"
#include "serial/serial.h"
#include "session/control_bytes.h"
#include "transfer/crc32.h"

namespace {

const char SIZE_WRITE_FAILED[] = "\r\nCom write timeout during sector size request\r\n";
const char RECEIVER_TIMEOUT[] = "\r\nERROR - Receiver timeout.\r\n";

// Sector sizes a target may report.
const uint32_t SMALL_SECTOR_SIZE = 32768UL;
const uint32_t LARGE_SECTOR_SIZE = 131072UL;

const unsigned SIZE_REQUEST_LENGTH = 9;
const unsigned SIZE_ANSWER_LENGTH = 4;

const unsigned FIRST_ANSWER_ATTEMPTS = 1;
const unsigned NUDGED_ANSWER_ATTEMPTS = 10;
const unsigned NEXT_BYTE_ATTEMPTS = 2;
const unsigned DRAIN_SILENCE_ATTEMPTS = 2;

bool accepted_sector_size(uint32_t size) {
    return size == SMALL_SECTOR_SIZE || size == LARGE_SECTOR_SIZE;
}

// The answer is a single waiting byte or a run of them; every later byte may take 2 s.
// Returns how many of SIZE_ANSWER_LENGTH bytes arrived (0 after printing a message).
unsigned receive_size_answer(unsigned char *answer) {
    if (!receive_byte(&answer[0], FIRST_ANSWER_ATTEMPTS, ECHO_OFF)) {
        // A target that missed the request is nudged with a bare line feed before giving up.
        if (!send_byte('\n')) {
            console_print(SIZE_WRITE_FAILED);
            return 0;
        }
        if (!receive_byte(&answer[0], NUDGED_ANSWER_ATTEMPTS, ECHO_OFF)) {
            console_print(RECEIVER_TIMEOUT);
            return 0;
        }
    }
    unsigned received = 1;
    while (received < SIZE_ANSWER_LENGTH &&
           receive_byte(&answer[received], NEXT_BYTE_ATTEMPTS, ECHO_OFF))
        ++received;
    return received;
}

} // namespace

void drain_input() {
    unsigned char byte;
    for (unsigned i = 0; i < MAX_TARGET_CHATTER; ++i) {
        if (!receive_byte(&byte, DRAIN_SILENCE_ATTEMPTS, ECHO_ON))
            return;
    }
}

bool request_sector_size(uint32_t *sector_size) {
    // 1. The request: SOH, "SIZE" and the CRC of "SIZE".
    unsigned char request[SIZE_REQUEST_LENGTH] = {SOH, 'S', 'I', 'Z', 'E'};
    put_u32_be(request + 5, block_crc(request + 1, 4));
    if (!send_bytes(request, SIZE_REQUEST_LENGTH)) {
        console_print(SIZE_WRITE_FAILED);
        return false;
    }

    // 2. Up to four answer bytes.
    unsigned char answer[SIZE_ANSWER_LENGTH];
    unsigned received = receive_size_answer(answer);
    if (received == 0)
        return false;

    // 3. A sector size comes least significant byte first.
    if (received == SIZE_ANSWER_LENGTH) {
        uint32_t size = (uint32_t)answer[0] | (uint32_t)answer[1] << 8 | (uint32_t)answer[2] << 16 |
                        (uint32_t)answer[3] << 24;
        if (accepted_sector_size(size)) {
            *sector_size = size;
            return true;
        }
    }

    // 4. Otherwise the first CAN or NAK among the bytes decides; CAN is followed by the
    // target's reason, shown to the operator.
    for (unsigned i = 0; i < received; ++i) {
        if (answer[i] == CAN) {
            for (unsigned j = i + 1; j < received; ++j)
                echo_char(answer[j]);
            // Fewer than four bytes means the line already fell silent: nothing left to drain.
            if (received == SIZE_ANSWER_LENGTH)
                drain_input();
            return false;
        }
        if (answer[i] == NAK) {
            *sector_size = 0;
            return true;
        }
    }
    if (received < SIZE_ANSWER_LENGTH)
        return false;

    // 5. Four bytes of no use: the target may still follow them with its verdict.
    unsigned char byte;
    for (unsigned i = 0;
         i < MAX_TARGET_CHATTER && receive_byte(&byte, NEXT_BYTE_ATTEMPTS, ECHO_OFF); ++i) {
        if (byte == CAN) {
            drain_input();
            return false;
        }
        if (byte == NAK) {
            *sector_size = 0;
            return true;
        }
    }
    return false;
}
