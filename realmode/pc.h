// The PC hardware the real-mode serial driver reaches, and nothing more: I/O ports, the BIOS
// data area, interrupt vectors and the interrupt flag. A DOS build supplies these directly;
// on other systems an emulated PC stands behind them.
#ifndef REALMODE_PC_H
#define REALMODE_PC_H

#include <stdint.h>

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
