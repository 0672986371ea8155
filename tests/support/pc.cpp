// A PC for the real-mode serial driver: the BIOS table's UARTs, the interrupt controller, the
// timer chip and the BIOS tick, on the wire's virtual clock. The wire is COM pc.line_port's
// line; its bytes raise that UART's IRQ wherever a PC could take it (at every tick read). The
// controller is edge-triggered: a UART holding an unread byte or line status raises no new
// edge, and an IRQ taken is not taken again before its end of interrupt.
#include "support/pc.h"

#include "support/wire.h"

test_pc pc;

namespace {

const uint16_t BASES[COM_PORT_COUNT] = {COM1_BASE, COM2_BASE};

struct hardware {
    unsigned char pic_mask = 0xFF, received = 0;
    bool interrupts_on = true, in_service = false, divisor_latch = false, high_byte_next = false;
    unsigned stale = 3; // bit 0: a received byte, bit 1: a line status, both from before
    uint16_t latched_count = 0;
    pc_handler vectors[256] = {};
    uint64_t spare_us = 0; // time below the wire's millisecond
} hw;

void pass_us(uint64_t us) {
    hw.spare_us += us;
    wire::advance_to(wire::now_ms + hw.spare_us / 1000);
    hw.spare_us %= 1000;
}

} // namespace

uint64_t pc_now_us() {
    return wire::now_ms * 1000 + hw.spare_us;
}

void pc_reset() {
    pc = test_pc(), hw = hardware();
    wire::set_open(true);
}

unsigned char pc_in(uint16_t port) {
    uint16_t base = BASES[pc.line_port - 1];
    hw.stale &= port == base ? ~1u : port == base + UART_LINE_STATUS ? ~2u : ~0u;
    // With interrupts on, a handler's read may come between ours: one byte twice.
    if (port == PIT_COUNTER_0)
        hw.high_byte_next = hw.interrupts_on ? hw.high_byte_next : !hw.high_byte_next;
    if (port == PIT_COUNTER_0)
        return (unsigned char)(hw.high_byte_next ? hw.latched_count : hw.latched_count >> 8);
    if (port == base + UART_LINE_STATUS) // busy: the holding register full, a byte ready
        return wire::now_ms >= pc.transmitter_free_at ? LSR_THRE | LSR_TEMT : LSR_DATA_READY;
    return port == PIC_MASK ? hw.pic_mask : port == base ? hw.received : 0;
}

void pc_out(uint16_t port, unsigned char value) {
    uint16_t base = BASES[pc.line_port - 1];
    char text[12];
    if (port == PIT_COMMAND &&
        value == PIT_LATCH_COUNTER_0) { // counter 0 latched; a fast PC may latch twice a count
        pass_us(pc.latches++ % 2 * 20);
        hw.latched_count = (uint16_t)(0 - pc.timer_step * (pc_now_us() * 1193 / 1000));
        hw.high_byte_next = false;
        return;
    }
    pc.writes += std::string(text, snprintf(text, sizeof text, " %X=%02X", port, value));
    if (port == PIC_MASK)
        hw.pic_mask = value;
    else if (port == PIC_COMMAND && value == PIC_END_OF_INTERRUPT)
        hw.in_service = false;
    else if (port == base + UART_LINE_CONTROL)
        hw.divisor_latch = (value & LCR_DLAB) != 0;
    else if (port == base && !hw.divisor_latch)
        wire::host_write(value);
}

uint32_t pc_bios_ticks() {
    // The line's UART interrupts for every byte that has arrived, unless masked.
    pass_us(5000); // the time a tick read takes
    const pc_com_irq &irq = COM_IRQS[pc.line_port - 1];
    pc_handler handler = hw.vectors[irq.vector];
    while (hw.interrupts_on && !hw.in_service && hw.stale == 0 && !(hw.pic_mask & irq.mask_bit) &&
           handler != nullptr && wire::host_read(&hw.received, wire::now_ms)) {
        hw.in_service = true;
        handler();
    }
    return (uint32_t)((pc.power_on_tick + wire::now_ms * 182 / 10000) % BIOS_TICKS_PER_DAY);
}

uint16_t pc_bios_serial_port(unsigned index) {
    return index < 4 ? pc.bios_table[index] : 0;
}

pc_handler pc_get_vector(unsigned vector) {
    return hw.vectors[vector];
}

void pc_set_vector(unsigned vector, pc_handler handler) {
    hw.vectors[vector] = handler;
}

void pc_disable_interrupts() {
    hw.interrupts_on = false;
}

void pc_enable_interrupts() {
    hw.interrupts_on = true;
}
