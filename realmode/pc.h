// The PC hardware the real-mode serial driver reaches, and nothing more: I/O ports, the BIOS
// data area, interrupt vectors and the interrupt flag. A DOS build supplies these directly;
// on other systems an emulated PC stands behind them.
#ifndef REALMODE_PC_H
#define REALMODE_PC_H

#include <stdint.h>

// The PC's serial, interrupt and timer hardware as the driver and the PCs behind this header
// know it. A UART's registers, as offsets from its base port:
const uint16_t UART_DATA = 0;      // receive/transmit; divisor low byte while DLAB is set
const uint16_t UART_INTERRUPT = 1; // interrupt enable; divisor high byte while DLAB is set
const uint16_t UART_INTERRUPT_ID = 2;
const uint16_t UART_LINE_CONTROL = 3;
const uint16_t UART_MODEM_CONTROL = 4;
const uint16_t UART_LINE_STATUS = 5;
const uint16_t UART_SCRATCH = 7;
const unsigned char LCR_8N1 = 0x03;
const unsigned char LCR_DLAB = 0x80;
const unsigned char IER_RECEIVED_DATA = 0x01;
const unsigned char IIR_NONE = 0x01;
const unsigned char IIR_RECEIVED_DATA = 0x04;
const unsigned char MCR_DTR = 0x01;
const unsigned char MCR_RTS = 0x02;
const unsigned char MCR_OUT2 = 0x08; // gates the UART's IRQ line on a PC
const unsigned char LSR_DATA_READY = 0x01;
const unsigned char LSR_THRE = 0x20;
const unsigned char LSR_TEMT = 0x40;
const uint32_t UART_CLOCK_DIVIDEND = 115200; // the divisor latch divides this into the speed

// COM1 and COM2 at their usual ports, on IRQ 4 and 3 (vectors 0x0C and 0x0B).
const uint16_t COM1_BASE = 0x3F8;
const uint16_t COM2_BASE = 0x2F8;
struct pc_com_irq {
    unsigned char mask_bit; // in the interrupt controller's mask
    unsigned char vector;
};
const unsigned COM_PORT_COUNT = 2;
const pc_com_irq COM_IRQS[COM_PORT_COUNT] = {{0x10, 0x0C}, {0x08, 0x0B}};

const uint16_t PIC_COMMAND = 0x20;
const uint16_t PIC_MASK = 0x21;
const unsigned char PIC_END_OF_INTERRUPT = 0x20;

const uint16_t PIT_COUNTER_0 = 0x40;
const uint16_t PIT_COMMAND = 0x43;
const unsigned char PIT_LATCH_COUNTER_0 = 0x00;

const uint32_t BIOS_TICKS_PER_DAY = 0x1800B0; // the tick count restarts at 0 after this many

// The receive interrupt handler as installed in a vector.
typedef void (*pc_handler)();

// pc_in, pc_out: one byte from or to an I/O port.
unsigned char pc_in(uint16_t port);
void pc_out(uint16_t port, unsigned char value);

// pc_bios_ticks: the BIOS timer tick count at 0040:006C (18.2 per second).
uint32_t pc_bios_ticks();

// pc_bios_serial_port: word `index` of the BIOS serial port table at 0040:0000 (0 = COM1);
// 0 when the BIOS knows no such port.
uint16_t pc_bios_serial_port(unsigned index);

// pc_get_vector, pc_set_vector: an interrupt vector's handler.
pc_handler pc_get_vector(unsigned vector);
void pc_set_vector(unsigned vector, pc_handler handler);

// pc_disable_interrupts, pc_enable_interrupts: the processor's interrupt flag.
void pc_disable_interrupts();
void pc_enable_interrupts();

#endif
