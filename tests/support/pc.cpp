// A PC for the real-mode serial driver: the BIOS table's UARTs, the interrupt controller, the
// timer chip and the BIOS tick, on the wire's virtual clock. The wire is COM pc_line_port's
// line; its bytes raise that UART's IRQ wherever a PC could take it (at every tick read).
#include "support/pc.h"

#include <map>

#include "realmode/pc.h"
#include "support/wire.h"

unsigned pc_line_port = 1;
bool pc_transmitter_stuck = false;
std::vector<std::pair<uint16_t, unsigned char>> pc_writes;

namespace {

const uint16_t BASES[2] = {0x3F8, 0x2F8};
const unsigned char IRQ_BITS[2] = {0x10, 0x08};
const unsigned VECTORS[2] = {0x0C, 0x0B};
const uint64_t TICK_READ_US = 5000;
const uint64_t TIMER_READ_US = 10;

unsigned char pic_mask = 0xFF;
unsigned char received = 0;
bool divisor_latch = false;
uint16_t latched_count = 0;
bool high_byte_next = false;
bool interrupts_on = true;
std::map<unsigned, pc_handler> vectors;
uint64_t spare_us = 0; // time below the wire's millisecond

void pass_us(uint64_t us) {
    spare_us += us;
    wire::advance_to(wire::now_ms() + spare_us / 1000);
    spare_us %= 1000;
}

uint64_t now_us() {
    return wire::now_ms() * 1000 + spare_us;
}

// The line's UART interrupts for every byte that has arrived, unless masked.
void take_interrupts() {
    unsigned com = pc_line_port - 1;
    pc_handler handler = vectors[VECTORS[com]];
    while (interrupts_on && !(pic_mask & IRQ_BITS[com]) && handler != nullptr &&
           wire::host_read(&received, wire::now_ms()))
        handler();
}

} // namespace

void pc_reset() {
    pic_mask = 0xFF;
    interrupts_on = true;
    vectors.clear();
    spare_us = 0;
    pc_line_port = 1;
    pc_transmitter_stuck = false;
    pc_writes.clear();
    divisor_latch = high_byte_next = false;
    wire::set_open(true);
}

unsigned char pc_in(uint16_t port) {
    if (port == 0x21)
        return pic_mask;
    if (port == 0x40) {
        high_byte_next = !high_byte_next;
        return (unsigned char)(high_byte_next ? latched_count : latched_count >> 8);
    }
    uint16_t base = BASES[pc_line_port - 1];
    if (port == base)
        return received;
    if (port == base + 5)
        return pc_transmitter_stuck ? 0x00 : 0x20;
    return 0;
}

void pc_out(uint16_t port, unsigned char value) {
    pc_writes.push_back({port, value});
    uint16_t base = BASES[pc_line_port - 1];
    if (port == 0x21) {
        pic_mask = value;
    } else if (port == 0x43) { // counter 0 latched: in its BIOS mode it counts down by 2
        pass_us(TIMER_READ_US);
        latched_count = (uint16_t)(0 - 2 * (now_us() * 1193 / 1000));
        high_byte_next = false;
    } else if (port == base + 3) {
        divisor_latch = (value & 0x80) != 0;
    } else if (port == base && !divisor_latch) {
        wire::host_write(value);
    }
}

uint32_t pc_bios_ticks() {
    pass_us(TICK_READ_US);
    take_interrupts();
    return (uint32_t)(wire::now_ms() * 182 / 10000);
}

uint16_t pc_bios_serial_port(unsigned index) {
    return index < 2 ? BASES[index] : 0;
}

pc_handler pc_get_vector(unsigned vector) {
    return vectors[vector];
}

void pc_set_vector(unsigned vector, pc_handler handler) {
    vectors[vector] = handler;
}

void pc_disable_interrupts() {
    interrupts_on = false;
}

void pc_enable_interrupts() {
    interrupts_on = true;
}
