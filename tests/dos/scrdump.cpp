// SCRDUMP: writes the 80x25 text screen (B800:0000, characters only) to SCREEN.TXT, one line
// of 80 characters and a line end per row, after a pause of a second that lets the serial line
// of the program before it drain before the emulator is closed.
#include <stdint.h>

#include "realmode/dos/dos.h"

extern "C" {
uint16_t dos_psp_segment;
volatile uint8_t dos_break_requested;

void dos_break_exit() {
    dos_regs regs = {DOS_EXIT | 1, 0, 0, 0, 0, 0, 0, 0, 0};
    dos_call(DOS_INTERRUPT, &regs);
    for (;;) {
    }
}

[[noreturn]] void dos_main();
}

namespace {

const uint16_t DOS_CREATE_FILE = 0x3C00;
const uint16_t TEXT_SCREEN = 0xB800;
const unsigned ROWS = 25;
const unsigned COLUMNS = 80;
const uint32_t PAUSE_TICKS = 18;

void call21(dos_regs *regs) {
    regs->ds = regs->es = dos_data_segment_now();
    dos_call(DOS_INTERRUPT, regs);
}

[[noreturn]] void leave(int status) {
    dos_regs regs = {(uint32_t)(DOS_EXIT | status), 0, 0, 0, 0, 0, 0, 0, 0};
    call21(&regs);
    for (;;) {
    }
}

const char NAME[] = "SCREEN.TXT";
char line[COLUMNS + 2];

} // namespace

void dos_main() {
    uint32_t start = dos_far_read32(0x40, 0x6C);
    while (dos_far_read32(0x40, 0x6C) - start < PAUSE_TICKS) {
    }

    dos_regs regs = {DOS_CREATE_FILE, 0, 0, (uint32_t)(uintptr_t)NAME, 0, 0, 0, 0, 0};
    call21(&regs);
    if (regs.flags & DOS_CARRY)
        leave(1);
    uint16_t handle = (uint16_t)regs.eax;
    for (unsigned row = 0; row < ROWS; ++row) {
        for (unsigned column = 0; column < COLUMNS; ++column)
            line[column] =
                (char)dos_far_read8(TEXT_SCREEN, (uint16_t)(2 * (row * COLUMNS + column)));
        line[COLUMNS] = '\r';
        line[COLUMNS + 1] = '\n';
        regs = {DOS_WRITE_FILE, handle, sizeof line, (uint32_t)(uintptr_t)line, 0, 0, 0, 0, 0};
        call21(&regs);
    }
    regs = {DOS_CLOSE_FILE, handle, 0, 0, 0, 0, 0, 0, 0};
    call21(&regs);
    leave(0);
}
