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

// The interrupts dos_call makes here.
const unsigned BIOS_VIDEO_INTERRUPT = 0x10;
const unsigned DOS_INTERRUPT = 0x21;

// DOS functions of interrupt 0x21, each as the AX that selects it: the function in AH, and
// where the function takes an argument in AL, that or'ed in.
const uint16_t DOS_READ_KEY = 0x0800;   // without echo, Ctrl-C checked
const uint16_t DOS_SET_VECTOR = 0x2500; // AL: the vector, DS:DX the handler
const uint16_t DOS_GET_VECTOR = 0x3500; // AL: the vector; the handler in ES:BX
const uint16_t DOS_OPEN_FILE = 0x3D00;  // AL: the access mode
const uint16_t DOS_CLOSE_FILE = 0x3E00;
const uint16_t DOS_READ_FILE = 0x3F00;
const uint16_t DOS_WRITE_FILE = 0x4000;
const uint16_t DOS_SEEK_FILE = 0x4200; // AL: the origin
const uint16_t DOS_DEVICE_INFO = 0x4400;
const uint16_t DOS_ALLOCATE = 0x4800;
const uint16_t DOS_FREE = 0x4900;
const uint16_t DOS_RESIZE = 0x4A00;
const uint16_t DOS_EXIT = 0x4C00; // AL: the exit status

const uint16_t STDIN_HANDLE = 0;
const uint16_t STDOUT_HANDLE = 1;

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

// dos_get_vector, dos_set_vector: an interrupt vector through DOS, as segment and offset.
void dos_get_vector(unsigned vector, uint16_t *segment, uint16_t *offset);
void dos_set_vector(unsigned vector, uint16_t segment, uint16_t offset);

// dos_code_segment, dos_data_segment_now: CS, and DS (= ES = SS).
static inline uint16_t dos_code_segment() {
    uint16_t segment;
    __asm__("mov %%cs, %0" : "=r"(segment));
    return segment;
}

static inline uint16_t dos_data_segment_now() {
    uint16_t segment;
    __asm__("mov %%ds, %0" : "=r"(segment));
    return segment;
}

// dos_check_break: leaves through dos_break_exit when Ctrl-Break was pressed.
void dos_check_break();

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
