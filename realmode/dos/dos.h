// What the DOS build's own files share: the BIOS and DOS call gate, far memory through FS,
// and the program's way out.
#ifndef REALMODE_DOS_H
#define REALMODE_DOS_H

#include <stdint.h>

// The registers of one BIOS or DOS call, in and out (flags out only).
struct dos_regs {
    uint32_t eax, ebx, ecx, edx, esi, edi;
    uint16_t ds, es;
    uint16_t flags;
};

const uint16_t DOS_CARRY = 0x0001;

extern "C" {
// dos_call: interrupt 0x10, 0x16 or 0x21 with these registers; every other register kept.
void dos_call(unsigned number, dos_regs *regs);

// The PSP's segment, set at start-up; the Ctrl-Break flag, set by the int 1Bh handler.
extern uint16_t dos_psp_segment;
extern volatile uint8_t dos_break_requested;

// dos_break_exit: the way out after Ctrl-Break or Ctrl-C: the port closed, status 1.
[[noreturn]] void dos_break_exit();
}

// dos_regs_init: AX = ax, the other registers zero, DS = ES = the data segment.
void dos_regs_init(dos_regs *regs, uint16_t ax);

// dos_data_segment_value: the data segment (DS = ES = SS).
uint16_t dos_data_segment_value();

// dos_check_break: leaves through dos_break_exit when Ctrl-Break was pressed.
void dos_check_break();

// dos_exit: restores what the program took over (the port, Ctrl-Break) and ends with status.
[[noreturn]] void dos_exit(int status);

// dos_far_read8, dos_far_write8, dos_far_read16, dos_far_read32: memory at segment:offset.
static inline uint8_t dos_far_read8(uint16_t segment, uint16_t offset) {
    uint8_t value;
    __asm__ volatile("mov %w1, %%fs\n\tmovb %%fs:(%k2), %0"
                     : "=q"(value)
                     : "r"(segment), "r"((uint32_t)offset));
    return value;
}

static inline void dos_far_write8(uint16_t segment, uint16_t offset, uint8_t value) {
    __asm__ volatile("mov %w0, %%fs\n\tmovb %2, %%fs:(%k1)"
                     :
                     : "r"(segment), "r"((uint32_t)offset), "q"(value)
                     : "memory");
}

static inline uint16_t dos_far_read16(uint16_t segment, uint16_t offset) {
    uint16_t value;
    __asm__ volatile("mov %w1, %%fs\n\tmovw %%fs:(%k2), %0"
                     : "=r"(value)
                     : "r"(segment), "r"((uint32_t)offset));
    return value;
}

static inline uint32_t dos_far_read32(uint16_t segment, uint16_t offset) {
    uint32_t value;
    __asm__ volatile("mov %w1, %%fs\n\tmovl %%fs:(%k2), %0"
                     : "=r"(value)
                     : "r"(segment), "r"((uint32_t)offset));
    return value;
}

#endif
