// The PC operations of pc.h on the real hardware, for the DOS build. The BIOS data area is
// reached through FS; vectors go through DOS.
#include "realmode/pc.h"

#include "dos.h"
#include "realmode/uart.h"

extern "C" {
void dos_receive_entry();

// Called by dos_receive_entry once the data segment and a stack are in place.
void dos_receive_interrupt() {
    receive_interrupt();
}
}

namespace {

const uint16_t BIOS_DATA_SEGMENT = 0x40;
const uint16_t BIOS_SERIAL_TABLE = 0x00;
const uint16_t BIOS_TICK_COUNT = 0x6C;

} // namespace

unsigned char pc_in(uint16_t port) {
    unsigned char value;
    __asm__ volatile("inb %w1, %0" : "=a"(value) : "Nd"(port));
    return value;
}

void pc_out(uint16_t port, unsigned char value) {
    __asm__ volatile("outb %0, %w1" : : "a"(value), "Nd"(port));
}

uint32_t pc_bios_ticks() {
    // Every wait of the serial driver polls the tick: the place to notice Ctrl-Break.
    dos_check_break();
    return dos_far_read32(BIOS_DATA_SEGMENT, BIOS_TICK_COUNT);
}

uint16_t pc_bios_serial_port(unsigned index) {
    return index < 4 ? dos_far_read16(BIOS_DATA_SEGMENT, (uint16_t)(BIOS_SERIAL_TABLE + 2 * index))
                     : 0;
}

// A handler travels as its far address, segment in the high word. Only receive_interrupt is
// installed from the program's own code; its entry is the assembly stub that loads the data
// segment and a stack first.
pc_handler pc_get_vector(unsigned vector) {
    uint16_t segment, offset;
    dos_get_vector(vector, &segment, &offset);
    return (pc_handler)((uint32_t)segment << 16 | offset);
}

void pc_set_vector(unsigned vector, pc_handler handler) {
    uint32_t far_address = (uint32_t)handler;
    if (handler == receive_interrupt)
        far_address = (uint32_t)dos_code_segment() << 16 | (uint16_t)(uintptr_t)dos_receive_entry;
    dos_set_vector(vector, (uint16_t)(far_address >> 16), (uint16_t)far_address);
}

void pc_disable_interrupts() {
    __asm__ volatile("cli" ::: "memory");
}

void pc_enable_interrupts() {
    __asm__ volatile("sti" ::: "memory");
}
