#include "test_pc.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "app/console.h"
#include "app/terminal.h"
#include "realmode/pc.h"
#include "realmode/uart.h"

namespace {

const uint32_t TICKS_PER_DAY = 0x1800B0;
const unsigned BIOS_TABLE_SIZE = 4;
const unsigned char PIC_MASK_AT_START = 0xB8;

struct queued_byte {
    uint64_t due;
    unsigned char value;
};

struct scripted_uart {
    unsigned char divisor_low = 0, divisor_high = 0;
    unsigned char interrupt_enable = 0, line_control = 0, modem_control = 0;
    unsigned char receive_data = 0;
    bool data_ready = false;
    std::deque<queued_byte> line;
};

// COM1 and COM2: their IRQ's mask bit and vector.
const unsigned char IRQ_MASK_BITS[2] = {0x10, 0x08};
const unsigned char IRQ_VECTORS[2] = {0x0C, 0x0B};

uint64_t clock = 0;
uint32_t start_ticks = 0;
uint64_t tick_step = 0;
uint16_t bios_table[BIOS_TABLE_SIZE];
scripted_uart uarts[2];
pc_handler vectors[256];
unsigned char mask = 0;
bool interrupts_enabled = true;
bool in_handler = false;
std::function<void(unsigned char)> responder;
std::string sent;
bool transmitter_held = false;
int timer_mode = 3;
uint64_t timer_clocks_per_read = 0;
bool timer_latched = false;
uint16_t timer_latch = 0;
bool timer_high_next = false;
std::vector<test_pc::port_access> log;
unsigned handlers_run = 0;
unsigned unguarded_changes = 0;
uint8_t last_read_index = 0, last_write_index = 0;

// The COM port (0 or 1) whose UART sits at this I/O address, or -1.
int com_at(uint16_t port, unsigned *offset) {
    for (int i = 0; i < 2; ++i) {
        if (bios_table[i] != 0 && port >= bios_table[i] && port < bios_table[i] + 8) {
            *offset = port - bios_table[i];
            return i;
        }
    }
    return -1;
}

bool could_interrupt(int com) {
    const scripted_uart &uart = uarts[com];
    return (uart.interrupt_enable & 0x01) && (uart.modem_control & 0x08) &&
           !(mask & IRQ_MASK_BITS[com]) && vectors[IRQ_VECTORS[com]] != nullptr;
}

// The main flow ran between two PC operations: had it moved the ring indexes while an
// interrupt could come, the handler could have seen them half-changed.
void check_indexes() {
    if (in_handler)
        return;
    if (rx_read_index != last_read_index || rx_write_index != last_write_index) {
        if (could_interrupt(0) || could_interrupt(1))
            ++unguarded_changes;
    }
}

void note_indexes() {
    if (in_handler)
        return;
    last_read_index = rx_read_index;
    last_write_index = rx_write_index;
}

void deliver() {
    if (in_handler)
        return;
    for (int com = 0; com < 2; ++com) {
        scripted_uart &uart = uarts[com];
        for (;;) {
            if (!uart.data_ready && !uart.line.empty() && uart.line.front().due <= clock) {
                uart.receive_data = uart.line.front().value;
                uart.data_ready = true;
                uart.line.pop_front();
            }
            if (!uart.data_ready || !interrupts_enabled || !could_interrupt(com))
                break;
            in_handler = true;
            ++handlers_run;
            vectors[IRQ_VECTORS[com]]();
            in_handler = false;
            if (uart.data_ready)
                break;
        }
    }
}

uint16_t timer_count() {
    if (timer_mode == 2)
        return (uint16_t)(0x10000 - clock % 0x10000);
    return (uint16_t)(0x10000 - 2 * (clock % 0x8000));
}

unsigned char uart_in(scripted_uart &uart, unsigned offset) {
    bool dlab = uart.line_control & 0x80;
    switch (offset) {
    case 0:
        if (dlab)
            return uart.divisor_low;
        uart.data_ready = false;
        return uart.receive_data;
    case 1:
        return dlab ? uart.divisor_high : uart.interrupt_enable;
    case 3:
        return uart.line_control;
    case 4:
        return uart.modem_control;
    case 5:
        return (uart.data_ready ? 0x01 : 0) | (transmitter_held ? 0 : 0x60);
    default:
        return 0;
    }
}

void uart_out(scripted_uart &uart, unsigned offset, unsigned char value) {
    bool dlab = uart.line_control & 0x80;
    switch (offset) {
    case 0:
        if (dlab) {
            uart.divisor_low = value;
        } else {
            sent += (char)value;
            if (responder)
                responder(value);
        }
        break;
    case 1:
        if (dlab)
            uart.divisor_high = value;
        else
            uart.interrupt_enable = value;
        break;
    case 3:
        uart.line_control = value;
        break;
    case 4:
        uart.modem_control = value;
        break;
    default:
        break;
    }
}

} // namespace

namespace test_pc {

void reset() {
    clock = 0;
    start_ticks = 0;
    tick_step = CLOCKS_PER_TICK / 16;
    std::memset(bios_table, 0, sizeof bios_table);
    bios_table[0] = 0x3F8;
    bios_table[1] = 0x2F8;
    uarts[0] = scripted_uart();
    uarts[1] = scripted_uart();
    std::memset(vectors, 0, sizeof vectors);
    mask = PIC_MASK_AT_START;
    interrupts_enabled = true;
    in_handler = false;
    responder = nullptr;
    sent.clear();
    transmitter_held = false;
    timer_mode = 3;
    timer_clocks_per_read = 5;
    timer_latched = false;
    timer_high_next = false;
    log.clear();
    handlers_run = 0;
    unguarded_changes = 0;
    note_indexes();
}

void set_bios_port(unsigned index, uint16_t base) {
    bios_table[index] = base;
}

void set_ticks(uint32_t ticks) {
    uint32_t passed = (uint32_t)(clock / CLOCKS_PER_TICK % TICKS_PER_DAY);
    start_ticks = (ticks % TICKS_PER_DAY + TICKS_PER_DAY - passed) % TICKS_PER_DAY;
}

uint32_t ticks() {
    return (uint32_t)((start_ticks + clock / CLOCKS_PER_TICK) % TICKS_PER_DAY);
}

uint64_t clocks() {
    return clock;
}

void set_tick_step(uint64_t clocks) {
    tick_step = clocks;
}

void advance_ticks(uint32_t ticks) {
    check_indexes();
    uint64_t end = clock + ticks * CLOCKS_PER_TICK;
    while (clock < end) {
        clock += std::min(tick_step, end - clock);
        deliver();
    }
    note_indexes();
}

void receive(const std::string &bytes, uint32_t delay_ticks, unsigned port_number) {
    std::deque<queued_byte> &line = uarts[port_number - 1].line;
    uint64_t due = clock + delay_ticks * CLOCKS_PER_TICK;
    if (!line.empty() && line.back().due > due)
        due = line.back().due;
    for (unsigned char c : bytes)
        line.push_back({due, c});
}

size_t pending() {
    return uarts[0].line.size() + uarts[1].line.size();
}

void on_transmit(std::function<void(unsigned char)> f) {
    responder = std::move(f);
}

std::string transmitted() {
    return sent;
}

void hold_transmitter(bool held) {
    transmitter_held = held;
}

void set_timer(int mode, uint64_t clocks_per_read) {
    timer_mode = mode;
    timer_clocks_per_read = clocks_per_read;
}

const std::vector<port_access> &accesses() {
    return log;
}

std::vector<port_access> writes() {
    std::vector<port_access> out;
    for (const port_access &a : log) {
        if (a.write)
            out.push_back(a);
    }
    return out;
}

void clear_accesses() {
    log.clear();
}

unsigned char pic_mask() {
    return mask;
}

unsigned handler_calls() {
    return handlers_run;
}

unsigned unguarded_index_changes() {
    return unguarded_changes;
}

} // namespace test_pc

unsigned char pc_in(uint16_t port) {
    check_indexes();
    deliver();
    unsigned char value = 0xFF;
    unsigned offset;
    int com = com_at(port, &offset);
    if (com >= 0) {
        value = uart_in(uarts[com], offset);
    } else if (port == 0x21) {
        value = mask;
    } else if (port == 0x40) {
        uint16_t count = timer_latched ? timer_latch : timer_count();
        value = (unsigned char)(timer_high_next ? count >> 8 : count);
        if (timer_high_next)
            timer_latched = false;
        timer_high_next = !timer_high_next;
    }
    log.push_back({false, port, value});
    deliver();
    note_indexes();
    return value;
}

void pc_out(uint16_t port, unsigned char value) {
    check_indexes();
    deliver();
    log.push_back({true, port, value});
    unsigned offset;
    int com = com_at(port, &offset);
    if (com >= 0) {
        uart_out(uarts[com], offset, value);
    } else if (port == 0x21) {
        mask = value;
    } else if (port == 0x43 && value == 0x00 && !timer_latched) {
        clock += timer_clocks_per_read;
        timer_latched = true;
        timer_latch = timer_count();
    }
    deliver();
    note_indexes();
}

uint32_t pc_bios_ticks() {
    check_indexes();
    clock += tick_step;
    deliver();
    note_indexes();
    return test_pc::ticks();
}

uint16_t pc_bios_serial_port(unsigned index) {
    return index < BIOS_TABLE_SIZE ? bios_table[index] : 0;
}

pc_handler pc_get_vector(unsigned vector) {
    return vectors[vector & 0xFF];
}

void pc_set_vector(unsigned vector, pc_handler handler) {
    vectors[vector & 0xFF] = handler;
}

void pc_disable_interrupts() {
    interrupts_enabled = false;
}

void pc_enable_interrupts() {
    interrupts_enabled = true;
}

// The real-mode build has no progress line; its console_print is a plain write of the text,
// here captured.
bool progress_line_open = false;

void console_print(const char *text) {
    console_write(text, std::strlen(text));
}
