// The real-mode build's own serial driver on a PC UART. Besides the serial operations of
// serial/serial.h (open_port takes the port number 1 or 2), it offers these.
#ifndef REALMODE_UART_H
#define REALMODE_UART_H

#include <stdint.h>

const uint16_t THRE_TIMEOUT_TICKS = 36;
const uint16_t ECHO_TIMEOUT_TICKS = 91;
const unsigned RX_RING_SIZE = 256;

extern unsigned char rx_ring[RX_RING_SIZE];
extern volatile uint8_t rx_write_index;
extern volatile uint8_t rx_read_index;
extern uint16_t pit_counts_per_ms;

// receive_interrupt: the UART's receive interrupt: one byte into the ring (dropped when the
// ring is full), then end of interrupt.
void receive_interrupt();

// calibrate_delay: finds whether the timer chip counts down by 1 or 2 per input clock.
void calibrate_delay();

// delay_ms: busy-waits ms milliseconds on the timer chip's counter.
void delay_ms(uint16_t ms);

// wait_ticks: waits until the BIOS tick count has advanced by ticks.
void wait_ticks(uint16_t ticks);

#endif
