// The real-mode build's own serial driver on a PC UART: the back end of serial/serial.h and
// serial/port.h (open_port takes the port number 1 or 2). Besides those, it offers these.
#ifndef REALMODE_UART_H
#define REALMODE_UART_H

#include <stdint.h>

// receive_interrupt: the UART's receive interrupt: one byte into the receive ring (dropped when
// the ring is full), then end of interrupt.
void receive_interrupt();

// calibrate_delay: finds whether the timer chip counts down by 1 or 2 per input clock; called
// once at start-up, before sleep_ms.
void calibrate_delay();

// wait_ticks: waits until the BIOS tick count has advanced by ticks.
void wait_ticks(uint16_t ticks);

#endif
