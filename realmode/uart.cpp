// The serial back end on a PC UART (COM1 or COM2): received bytes reach a ring through the
// UART's receive interrupt, bytes are sent by polling the line status, and every wait is
// measured in BIOS timer ticks. The hardware is reached only through pc.h.
#include "uart.h"

#include "pc.h"
#include "serial/port.h"
#include "serial/serial.h"

namespace {

// BIOS timer ticks per second, 18.2, as a fraction.
const uint32_t TICKS_PER_SECOND_NUMERATOR = 91;
const uint32_t TICKS_PER_SECOND_DENOMINATOR = 5;
const uint16_t THRE_TIMEOUT_TICKS = 36; // about 2 s for the holding register to empty

const unsigned PIT_CALIBRATION_READINGS = 100;
const uint16_t PIT_COUNTS_PER_MS_BY_1 = 1193;
const uint16_t PIT_COUNTS_PER_MS_BY_2 = 2386;

const unsigned RX_RING_SIZE = 256;

// The ring is written by receive_interrupt alone and read by the main flow alone.
unsigned char rx_ring[RX_RING_SIZE];
volatile uint8_t rx_write_index = 0;
volatile uint8_t rx_read_index = 0;
// The BIOS leaves counter 0 in its square-wave mode, which counts by 2; calibrate_delay
// confirms or corrects this.
uint16_t pit_counts_per_ms = PIT_COUNTS_PER_MS_BY_2;

uint16_t port_base = 0;
unsigned char irq_mask_bit = 0;
unsigned char irq_vector = 0;
pc_handler saved_vector = 0;
bool port_open = false;

// Ticks elapsed since start, summed poll by poll. The BIOS count goes back only when it
// restarts from 0 at midnight, one tick after its last value of the day; a plain difference
// across that moment would be huge and end every wait at once. Any step back (a clock set
// back included) therefore counts as the one tick it is at midnight.
struct tick_stopwatch {
    uint32_t last;
    uint32_t elapsed;
};

void stopwatch_start(tick_stopwatch *watch) {
    watch->last = pc_bios_ticks();
    watch->elapsed = 0;
}

uint32_t stopwatch_read(tick_stopwatch *watch) {
    uint32_t now = pc_bios_ticks();
    watch->elapsed += now >= watch->last ? now - watch->last : 1;
    watch->last = now;
    return watch->elapsed;
}

// The ring's critical section masks only this port's IRQ at the interrupt controller, so
// the timer and keyboard keep running. While the port is closed the IRQ is masked and no
// handler of ours is installed: there is nothing to keep out, and unmasking would hand the
// IRQ to whatever handler was there before.
void enter_ring() {
    if (port_open)
        pc_out(PIC_MASK, pc_in(PIC_MASK) | irq_mask_bit);
}

void leave_ring() {
    if (port_open)
        pc_out(PIC_MASK, pc_in(PIC_MASK) & (unsigned char)~irq_mask_bit);
}

bool take_from_ring(unsigned char *byte) {
    enter_ring();
    bool taken = rx_read_index != rx_write_index;
    if (taken) {
        *byte = rx_ring[rx_read_index];
        rx_read_index = (uint8_t)(rx_read_index + 1);
    }
    leave_ring();
    return taken;
}

// One byte from the ring within limit_ticks (0: without limit).
bool wait_for_byte(unsigned char *byte, uint32_t limit_ticks) {
    if (take_from_ring(byte))
        return true;
    tick_stopwatch watch;
    stopwatch_start(&watch);
    for (;;) {
        if (take_from_ring(byte))
            return true;
        // The tick is read even without a limit: an emulated PC idles on repeated reads.
        uint32_t elapsed = stopwatch_read(&watch);
        if (limit_ticks != 0 && elapsed >= limit_ticks)
            return false;
    }
}

// Counter 0 turned into a count that rises, so that a wrap-around shows as a drop.
uint16_t read_rising_count() {
    pc_disable_interrupts();
    pc_out(PIT_COMMAND, PIT_LATCH_COUNTER_0);
    unsigned low = pc_in(PIT_COUNTER_0);
    unsigned high = pc_in(PIT_COUNTER_0);
    pc_enable_interrupts();
    return (uint16_t) ~(low | high << 8);
}

void delay_ms(uint16_t ms) {
    // The counter wraps every 65536 counts (about 27 ms in either mode): the high word of the
    // end point is how many wrap-arounds to see, the low word where to stop after the last.
    uint16_t previous = read_rising_count();
    uint32_t end = (uint32_t)ms * pit_counts_per_ms + previous;
    uint32_t wraps_left = end >> 16;
    uint16_t final_count = (uint16_t)(end & 0xFFFF);
    for (;;) {
        uint16_t now = read_rising_count();
        if (now < previous) {
            if (wraps_left == 0)
                return;
            --wraps_left;
        } else if (wraps_left == 0 && now >= final_count) {
            return;
        }
        previous = now;
    }
}

} // namespace

bool open_port(unsigned port_number) {
    close_port();

    // 1. Only COM1 and COM2 have a known IRQ; the BIOS table gives the UART's address. An
    // entry of 0 means no UART there: programming I/O port 0 upwards would hit the DMA
    // controller, so the open fails instead.
    if (port_number < 1 || port_number > COM_PORT_COUNT)
        return false;
    uint16_t base = pc_bios_serial_port(port_number - 1);
    if (base == 0 || baud_rate == 0 || baud_rate > UART_CLOCK_DIVIDEND)
        return false;
    port_base = base;

    // 2. Speed and 8N1, then the receive interrupt, DTR, RTS and OUT2.
    uint16_t divisor = (uint16_t)(UART_CLOCK_DIVIDEND / baud_rate);
    pc_out(port_base + UART_LINE_CONTROL, LCR_DLAB | LCR_8N1);
    pc_out(port_base + UART_DATA, (unsigned char)(divisor & 0xFF));
    pc_out(port_base + UART_INTERRUPT, (unsigned char)(divisor >> 8));
    pc_out(port_base + UART_LINE_CONTROL, LCR_8N1);
    pc_out(port_base + UART_INTERRUPT, IER_RECEIVED_DATA);
    pc_out(port_base + UART_MODEM_CONTROL, MCR_DTR | MCR_RTS | MCR_OUT2);

    // 3. Clear a pending line status and a stale received byte, either of which could hold
    // the UART's interrupt line.
    pc_in(port_base + UART_LINE_STATUS);
    pc_in(port_base + UART_DATA);

    // 4. Our handler in place, then the IRQ unmasked.
    const pc_com_irq &com = COM_IRQS[port_number - 1];
    irq_mask_bit = com.mask_bit;
    irq_vector = com.vector;
    saved_vector = pc_get_vector(irq_vector);
    pc_set_vector(irq_vector, receive_interrupt);
    pc_out(PIC_MASK, pc_in(PIC_MASK) & (unsigned char)~irq_mask_bit);
    port_open = true;
    return true;
}

void close_port() {
    if (port_open) {
        pc_out(PIC_MASK, pc_in(PIC_MASK) | irq_mask_bit);
        pc_set_vector(irq_vector, saved_vector);
        port_open = false;
    }
    rx_write_index = 0;
    rx_read_index = 0;
}

void receive_interrupt() {
    unsigned char byte = pc_in(port_base + UART_DATA);
    uint8_t next = (uint8_t)(rx_write_index + 1);
    // One slot stays free so that a full ring differs from an empty one.
    if (next != rx_read_index) {
        rx_ring[rx_write_index] = byte;
        rx_write_index = next;
    }
    pc_out(PIC_COMMAND, PIC_END_OF_INTERRUPT);
}

const char PORT_WRITE_FAILED[] = "\r\nERROR - Transmitter timeout.\r\n";

bool port_is_open() {
    return port_open;
}

bool port_write(const unsigned char *bytes, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        // A byte goes in only once the one before has left the holding register.
        if (!(pc_in(port_base + UART_LINE_STATUS) & LSR_THRE)) {
            tick_stopwatch watch;
            stopwatch_start(&watch);
            while (!(pc_in(port_base + UART_LINE_STATUS) & LSR_THRE)) {
                if (stopwatch_read(&watch) >= THRE_TIMEOUT_TICKS)
                    return false;
            }
        }
        pc_out(port_base + UART_DATA, bytes[i]);
    }
    return true;
}

bool port_read(unsigned char *byte, unsigned seconds) {
    // Nothing can arrive on a closed port; waiting would never end with a limit of 0.
    return port_open && wait_for_byte(byte, (uint32_t)seconds * TICKS_PER_SECOND_NUMERATOR /
                                                TICKS_PER_SECOND_DENOMINATOR);
}

// Until the BIOS tick has moved on (0 to 55 ms): at most one byte a tick.
void port_pause_after_paced_byte() {
    wait_ticks(1);
}

void purge_input() {
    enter_ring();
    rx_write_index = rx_read_index;
    leave_ring();
}

void calibrate_delay() {
    // Counting by 1, the counter shows odd and even values alike; counting by 2 from an even
    // reload (the BIOS's 65536), only even ones. Every reading counts towards the limit, so
    // a counter that does not move cannot hold the program here.
    uint16_t value = read_rising_count();
    unsigned readings = 1;
    for (;;) {
        if ((value & 1) == 0) {
            pit_counts_per_ms = PIT_COUNTS_PER_MS_BY_1;
            return;
        }
        if (readings >= PIT_CALIBRATION_READINGS) {
            pit_counts_per_ms = PIT_COUNTS_PER_MS_BY_2;
            return;
        }
        uint16_t next;
        do {
            next = read_rising_count();
            ++readings;
        } while (next == value && readings < PIT_CALIBRATION_READINGS);
        value = next;
    }
}

void sleep_ms(unsigned ms) {
    while (ms > 0xFFFF) {
        delay_ms(0xFFFF);
        ms -= 0xFFFF;
    }
    delay_ms((uint16_t)ms);
}

void wait_ticks(uint16_t ticks) {
    tick_stopwatch watch;
    stopwatch_start(&watch);
    while (stopwatch_read(&watch) < ticks) {
    }
}
