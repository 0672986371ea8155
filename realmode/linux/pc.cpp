// An emulated PC behind pc.h, so that the real-mode build runs on Linux: two 8250 UARTs whose
// line side is a host serial device, the interrupt controller's mask and end of interrupt,
// counter 0 of the timer chip, the BIOS tick and serial port table, and the interrupt vectors.
//
// There are no threads. A received byte raises the UART's interrupt at the next boundary of a
// PC operation of the main flow (every pc_in, pc_out and pc_bios_ticks), where the installed
// handler runs if the PC would take the interrupt then. Repeated tick reads with nothing
// happening sleep on the host devices, so the driver's polling waits cost little CPU.
//
// COM port N's line is port N's host serial device (serial/device_posix.h). It is opened when
// the BIOS table is read for it or the UART is first programmed, and held exclusively for the
// rest of the run, as the hardware would be.
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "realmode/pc.h"
#include "serial/device_posix.h"

namespace {

const uint64_t PIT_CLOCK_HZ = 1193182;
const uint64_t PIT_CLOCKS_PER_TICK = 65536;
const int IDLE_POLL_MS = 1;

// The BIOS leaves the timer, keyboard, cascade and floppy IRQs enabled, the rest masked.
const unsigned char PIC_MASK_AT_START = 0xB8;

const size_t HOST_INPUT_SIZE = 256;

struct emulated_uart {
    uint16_t base;
    unsigned port_number;
    unsigned char irq_mask_bit;
    unsigned char vector;

    // The 8250's registers.
    uint16_t divisor;
    bool divisor_written;
    unsigned char interrupt_enable;
    unsigned char line_control;
    unsigned char modem_control;
    unsigned char scratch;
    unsigned char receive_data;
    bool data_ready;
    unsigned char transmit_data;
    bool transmit_full;

    // The host device on the line side, and what was read from it but not yet received.
    int fd;
    bool line_gone;
    unsigned char host_input[HOST_INPUT_SIZE];
    size_t host_input_next;
    size_t host_input_end;
    // When the next of those bytes has come in on the wire.
    int64_t next_arrival_ns;
};

emulated_uart com_uart(unsigned port_number, uint16_t base) {
    emulated_uart uart = {};
    uart.base = base;
    uart.port_number = port_number;
    uart.irq_mask_bit = COM_IRQS[port_number - 1].mask_bit;
    uart.vector = COM_IRQS[port_number - 1].vector;
    uart.fd = -1;
    return uart;
}

emulated_uart uarts[COM_PORT_COUNT] = {com_uart(1, COM1_BASE), com_uart(2, COM2_BASE)};

pc_handler vectors[256];
unsigned char pic_mask = PIC_MASK_AT_START;
unsigned char pic_in_service = 0;
bool interrupts_enabled = true;
bool in_handler = false;
bool interrupted_since_tick_read = false;
uint32_t last_tick_read = 0;
bool ticks_read_before = false;

bool pit_latched = false;
uint16_t pit_latch = 0;
bool pit_high_byte_next = false;

int64_t monotonic_ns() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

// PIT input clocks since an arbitrary start, from the monotonic clock.
uint64_t pit_clocks() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * PIT_CLOCK_HZ + (uint64_t)now.tv_nsec * PIT_CLOCK_HZ / 1000000000;
}

// The BIOS count starts from the time of day, as after boot, and restarts at midnight.
uint32_t bios_ticks_now() {
    static uint64_t start_clocks = 0;
    static uint32_t start_ticks = 0;
    static bool started = false;
    if (!started) {
        time_t wall = time(NULL);
        struct tm local;
        localtime_r(&wall, &local);
        uint64_t seconds = (uint64_t)local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
        start_ticks = (uint32_t)(seconds * PIT_CLOCK_HZ / PIT_CLOCKS_PER_TICK % BIOS_TICKS_PER_DAY);
        start_clocks = pit_clocks();
        started = true;
    }
    uint64_t elapsed = (pit_clocks() - start_clocks) / PIT_CLOCKS_PER_TICK;
    return (uint32_t)((start_ticks + elapsed) % BIOS_TICKS_PER_DAY);
}

// Counter 0 in the BIOS's mode 3: a square wave that counts down by 2 from 65536, twice per
// period of 65536 clocks.
uint16_t pit_count_now() {
    return (uint16_t)(0x10000 - 2 * (pit_clocks() % (PIT_CLOCKS_PER_TICK / 2)));
}

// The line at the speed the divisor selects, raw 8N1 without flow control. A divisor that
// selects no speed the host knows leaves the speed as it was.
void configure_line(emulated_uart &uart) {
    struct termios tio;
    if (uart.fd < 0 || tcgetattr(uart.fd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    tio.c_cflag &= ~(CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    speed_t speed;
    if (uart.divisor != 0 && termios_speed(UART_CLOCK_DIVIDEND / uart.divisor, &speed)) {
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    }
    tcsetattr(uart.fd, TCSANOW, &tio);
}

// DTR and RTS follow the modem control register; pseudo-terminals have no modem lines.
void set_modem_lines(emulated_uart &uart) {
    if (uart.fd < 0)
        return;
    int raise = 0;
    int lower = 0;
    if (uart.modem_control & MCR_DTR)
        raise |= TIOCM_DTR;
    else
        lower |= TIOCM_DTR;
    if (uart.modem_control & MCR_RTS)
        raise |= TIOCM_RTS;
    else
        lower |= TIOCM_RTS;
    ioctl(uart.fd, TIOCMBIS, &raise);
    ioctl(uart.fd, TIOCMBIC, &lower);
}

void give_back_lines();

// Opens the host device of the UART's line once; false when it is absent, busy or refused.
bool attach_line(emulated_uart &uart) {
    if (uart.fd >= 0)
        return true;
    int fd = open_serial_device(uart.port_number);
    if (fd < 0)
        return false;
    // One hand-back at exit serves every line.
    if (uarts[0].fd < 0 && uarts[1].fd < 0)
        atexit(give_back_lines);
    uart.fd = fd;
    uart.line_gone = false;
    configure_line(uart);
    set_modem_lines(uart);
    // What the device held before this PC had a UART on it is not the program's input.
    tcflush(fd, TCIFLUSH);
    return true;
}

emulated_uart *uart_at(uint16_t port) {
    for (emulated_uart &uart : uarts) {
        if (port >= uart.base && port < uart.base + 8)
            return &uart;
    }
    return NULL;
}

bool host_input_empty(const emulated_uart &uart) {
    return uart.host_input_next == uart.host_input_end;
}

// One character (start, 8 data and stop bits) on the wire at the divisor's speed.
int64_t character_ns(const emulated_uart &uart) {
    int64_t divisor = uart.divisor != 0 ? uart.divisor : 0x10000;
    return divisor * 10 * 1000000000 / UART_CLOCK_DIVIDEND;
}

// Moves bytes between the UART and its host device as far as each side can take them. Bytes
// read from the host enter the receive register no faster than the line speed: a
// pseudo-terminal delivers a whole burst at once, which a real line never would, and the
// receive ring would overflow where a PC keeps up.
void exchange_with_line(emulated_uart &uart) {
    if (uart.fd < 0 || uart.line_gone) {
        uart.transmit_full = false; // sent into a line that leads nowhere
        return;
    }
    if (uart.transmit_full) {
        ssize_t n = write(uart.fd, &uart.transmit_data, 1);
        // A line that refuses the byte for good loses it, as a wire to nowhere would.
        if (n == 1 || (n < 0 && errno != EAGAIN && errno != EINTR))
            uart.transmit_full = false;
    }
    if (!uart.data_ready && host_input_empty(uart)) {
        ssize_t n = read(uart.fd, uart.host_input, HOST_INPUT_SIZE);
        if (n > 0) {
            uart.host_input_next = 0;
            uart.host_input_end = (size_t)n;
            int64_t now = monotonic_ns();
            if (uart.next_arrival_ns < now)
                uart.next_arrival_ns = now;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            uart.line_gone = true; // EIO: the device or the pseudo-terminal's master has gone
        }
    }
    if (!uart.data_ready && !host_input_empty(uart) && monotonic_ns() >= uart.next_arrival_ns) {
        uart.receive_data = uart.host_input[uart.host_input_next++];
        uart.data_ready = true;
        uart.next_arrival_ns += character_ns(uart);
    }
}

// At exit the lines go back to the next program on them as they were found, once what the
// UARTs sent has left: the holding register's last byte, then the device's own queue.
void give_back_lines() {
    for (emulated_uart &uart : uarts) {
        if (uart.fd < 0)
            continue;
        exchange_with_line(uart);
        close_serial_device(uart.fd, (uint32_t)(2 * character_ns(uart) / 1000000 + 1));
        uart.fd = -1;
    }
}

bool interrupt_requested(const emulated_uart &uart) {
    return uart.data_ready && (uart.interrupt_enable & IER_RECEIVED_DATA) &&
           (uart.modem_control & MCR_OUT2) && !(pic_mask & uart.irq_mask_bit) &&
           !(pic_in_service & uart.irq_mask_bit) && vectors[uart.vector] != NULL;
}

// The interrupts the PC would take at this point of the main flow: one per received byte
// while the IRQ is unmasked, in service no longer, and the processor takes interrupts.
void deliver_interrupts() {
    if (in_handler)
        return;
    for (emulated_uart &uart : uarts) {
        exchange_with_line(uart);
        while (interrupts_enabled && interrupt_requested(uart)) {
            pic_in_service |= uart.irq_mask_bit;
            in_handler = true;
            vectors[uart.vector]();
            in_handler = false;
            interrupted_since_tick_read = true;
            // A handler that left the byte unread would be called again for ever.
            if (uart.data_ready)
                break;
            exchange_with_line(uart);
        }
    }
}

// A polling loop that finds nothing new: sleep until a line has something for its UART or
// can take its pending byte, or a millisecond has passed.
void idle() {
    struct pollfd fds[2];
    emulated_uart *polled[2];
    nfds_t count = 0;
    for (emulated_uart &uart : uarts) {
        if (uart.fd < 0 || uart.line_gone)
            continue;
        short events = 0;
        if (!uart.data_ready && host_input_empty(uart))
            events |= POLLIN;
        if (uart.transmit_full)
            events |= POLLOUT;
        if (events != 0) {
            polled[count] = &uart;
            fds[count++] = {uart.fd, events, 0};
        }
    }
    if (poll(fds, count, IDLE_POLL_MS) <= 0)
        return;
    // A hung-up device (an adapter pulled, a pseudo-terminal whose master closed) polls ready
    // for ever and reads as empty rather than failing: left attached, every wait would spin.
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL))
            polled[i]->line_gone = true;
    }
}

unsigned char uart_in(emulated_uart &uart, unsigned offset) {
    bool dlab = uart.line_control & LCR_DLAB;
    switch (offset) {
    case UART_DATA:
        if (dlab)
            return (unsigned char)(uart.divisor & 0xFF);
        uart.data_ready = false;
        return uart.receive_data;
    case UART_INTERRUPT:
        return dlab ? (unsigned char)(uart.divisor >> 8) : uart.interrupt_enable;
    case UART_INTERRUPT_ID:
        return uart.data_ready && (uart.interrupt_enable & IER_RECEIVED_DATA) ? IIR_RECEIVED_DATA
                                                                              : IIR_NONE;
    case UART_LINE_CONTROL:
        return uart.line_control;
    case UART_MODEM_CONTROL:
        return uart.modem_control;
    case UART_LINE_STATUS:
        return (unsigned char)((uart.data_ready ? LSR_DATA_READY : 0) |
                               (uart.transmit_full ? 0 : LSR_THRE | LSR_TEMT));
    case UART_SCRATCH:
        return uart.scratch;
    default:
        return 0; // modem status: no modem lines are reported
    }
}

void uart_out(emulated_uart &uart, unsigned offset, unsigned char value) {
    attach_line(uart);
    bool dlab = uart.line_control & LCR_DLAB;
    switch (offset) {
    case UART_DATA:
        if (dlab) {
            uart.divisor = (uint16_t)((uart.divisor & 0xFF00) | value);
            uart.divisor_written = true;
        } else {
            // Writing while the holding register is full overwrites it, as on the chip.
            uart.transmit_data = value;
            uart.transmit_full = true;
            exchange_with_line(uart);
        }
        break;
    case UART_INTERRUPT:
        if (dlab) {
            uart.divisor = (uint16_t)((uart.divisor & 0x00FF) | value << 8);
            uart.divisor_written = true;
        } else {
            uart.interrupt_enable = value & 0x0F;
        }
        break;
    case UART_LINE_CONTROL:
        uart.line_control = value;
        // The new speed goes to the line once both divisor bytes are in, when the latch is
        // deselected, so the line never runs at a half-written divisor.
        if (!(value & LCR_DLAB) && uart.divisor_written) {
            uart.divisor_written = false;
            configure_line(uart);
        }
        break;
    case UART_MODEM_CONTROL:
        uart.modem_control = value & 0x1F;
        set_modem_lines(uart);
        break;
    case UART_SCRATCH:
        uart.scratch = value;
        break;
    default:
        break; // FIFO control and the status registers: nothing to do
    }
}

unsigned char port_in(uint16_t port) {
    if (emulated_uart *uart = uart_at(port))
        return uart_in(*uart, port - uart->base);
    if (port == PIC_MASK)
        return pic_mask;
    if (port == PIT_COUNTER_0) {
        uint16_t count = pit_latched ? pit_latch : pit_count_now();
        unsigned char value = (unsigned char)(pit_high_byte_next ? count >> 8 : count & 0xFF);
        if (pit_high_byte_next)
            pit_latched = false;
        pit_high_byte_next = !pit_high_byte_next;
        return value;
    }
    return 0xFF; // nothing on the bus
}

void port_out(uint16_t port, unsigned char value) {
    if (emulated_uart *uart = uart_at(port)) {
        uart_out(*uart, port - uart->base, value);
    } else if (port == PIC_MASK) {
        pic_mask = value;
    } else if (port == PIC_COMMAND && value == PIC_END_OF_INTERRUPT) {
        pic_in_service &= (unsigned char)(pic_in_service - 1); // the highest priority in service
    } else if (port == PIT_COMMAND) {
        // A latch holds until it has been read; any other command word restarts the byte order.
        if (value == PIT_LATCH_COUNTER_0 && !pit_latched) {
            pit_latched = true;
            pit_latch = pit_count_now();
        }
        if (value != PIT_LATCH_COUNTER_0)
            pit_high_byte_next = false;
    }
}

} // namespace

unsigned char pc_in(uint16_t port) {
    deliver_interrupts();
    unsigned char value = port_in(port);
    deliver_interrupts();
    return value;
}

void pc_out(uint16_t port, unsigned char value) {
    deliver_interrupts();
    port_out(port, value);
    deliver_interrupts();
}

uint32_t pc_bios_ticks() {
    deliver_interrupts();
    uint32_t ticks = bios_ticks_now();
    if (ticks_read_before && ticks == last_tick_read && !interrupted_since_tick_read &&
        !in_handler) {
        idle();
        deliver_interrupts();
        ticks = bios_ticks_now();
    }
    ticks_read_before = true;
    interrupted_since_tick_read = false;
    last_tick_read = ticks;
    return ticks;
}

uint16_t pc_bios_serial_port(unsigned index) {
    // A port whose line cannot be had is one the BIOS did not find.
    if (index >= 2 || !attach_line(uarts[index]))
        return 0;
    return uarts[index].base;
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
    deliver_interrupts();
}
