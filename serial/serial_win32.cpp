// The host serial port on Win32: port N is the device "COMN", driven with plain synchronous
// ReadFile and WriteFile requests whose waits are set by the port's time-outs.
#include <stdio.h>
#include <windows.h>

#include "port.h"
#include "serial.h"

static const DWORD INPUT_QUEUE_BYTES = 256;
static const DWORD OUTPUT_QUEUE_BYTES = 512;
// A 16550's transmit FIFO and its shift register.
static const DWORD UART_TRANSMITTER_BYTES = 17;
static const DWORD PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

static HANDLE port_handle = INVALID_HANDLE_VALUE;
// Write time-out per byte, fixed at open from the speed the line was set to.
static DWORD write_ms_per_byte = 0;
// The port as it was found, put back at close: the next program on it finds its own settings.
static DCB found_state;
static COMMTIMEOUTS found_timeouts;
static bool found_saved = false;

// Raw 8N1 without software flow control; output is never held back by CTS or DSR, while RTS
// tells the target when our input queue is full. A byte received with a parity error is
// replaced by 0x00.
static bool configure_line(HANDLE handle) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb))
        return false;
    dcb.BaudRate = baud_rate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = TRUE;
    dcb.ErrorChar = 0x00;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fAbortOnError = FALSE;
    return SetCommState(handle, &dcb) != 0;
}

// A read returns at once with a byte that is there, else with the first one to arrive, else
// empty after PORT_READ_TIMEOUT_MS. A write of n bytes may take WRITE_TIMEOUT_BASE_MS plus
// twice its byte time at the line speed.
static bool set_timeouts(HANDLE handle) {
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = PORT_READ_TIMEOUT_MS;
    timeouts.WriteTotalTimeoutMultiplier = write_ms_per_byte;
    timeouts.WriteTotalTimeoutConstant = WRITE_TIMEOUT_BASE_MS;
    return SetCommTimeouts(handle, &timeouts) != 0;
}

bool open_port(unsigned port_number) {
    close_port();
    if (baud_rate == 0)
        return false;

    // 1. "COM1" to "COM9" need no "\\.\" prefix; only COM10 and above would.
    char name[16];
    snprintf(name, sizeof name, "COM%u", port_number);

    // 2. Exclusive, synchronous access.
    port_handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port_handle == INVALID_HANDLE_VALUE)
        return false;

    // 3. Line settings, queues and time-outs, then nothing left over from before this open.
    DWORD errors;
    write_ms_per_byte = write_timeout_ms_per_byte(baud_rate);
    ZeroMemory(&found_state, sizeof found_state);
    found_state.DCBlength = sizeof found_state;
    found_saved =
        GetCommState(port_handle, &found_state) && GetCommTimeouts(port_handle, &found_timeouts);
    bool ok = found_saved && configure_line(port_handle) &&
              SetupComm(port_handle, INPUT_QUEUE_BYTES, OUTPUT_QUEUE_BYTES) &&
              set_timeouts(port_handle) && PurgeComm(port_handle, PURGE_ALL) &&
              ClearCommError(port_handle, &errors, NULL);
    if (!ok) {
        close_port();
        return false;
    }
    return true;
}

void close_port() {
    if (port_handle == INVALID_HANDLE_VALUE)
        return;

    // Let written output leave first: the last byte before a close is often the final answer
    // to the target, and a byte still in the UART when the port's own settings come back
    // leaves garbled. The driver's queue is waited for as a write is: what a stalled adapter
    // still holds then never leaves, and is dropped rather than holding the program at its
    // exit. Once it is empty, FlushFileBuffers waits for the driver's transmission, and the
    // UART's FIFO and shift register, which no call reports, get their time on the line.
    DWORD errors;
    COMSTAT status;
    status.cbOutQue = 0;
    if (ClearCommError(port_handle, &errors, &status) && status.cbOutQue > 0) {
        DWORD start_ms = GetTickCount();
        DWORD limit_ms = WRITE_TIMEOUT_BASE_MS + status.cbOutQue * write_ms_per_byte;
        while (status.cbOutQue > 0 && GetTickCount() - start_ms < limit_ms) {
            Sleep(OUTPUT_DRAIN_POLL_MS);
            if (!ClearCommError(port_handle, &errors, &status))
                status.cbOutQue = 0;
        }
    }
    if (status.cbOutQue == 0 && FlushFileBuffers(port_handle))
        Sleep(UART_TRANSMITTER_BYTES * write_ms_per_byte / 2);
    PurgeComm(port_handle, PURGE_ALL);
    ClearCommError(port_handle, &errors, NULL);
    if (found_saved) {
        SetCommState(port_handle, &found_state);
        SetCommTimeouts(port_handle, &found_timeouts);
    }
    found_saved = false;
    CloseHandle(port_handle);
    port_handle = INVALID_HANDLE_VALUE;
}

void purge_input() {
    if (port_handle == INVALID_HANDLE_VALUE)
        return;
    PurgeComm(port_handle, PURGE_RXCLEAR);
    DWORD errors;
    ClearCommError(port_handle, &errors, NULL);
}

void sleep_ms(unsigned ms) {
    Sleep(ms);
}

bool port_is_open() {
    return port_handle != INVALID_HANDLE_VALUE;
}

bool port_write(const unsigned char *bytes, unsigned count) {
    if (port_handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    return WriteFile(port_handle, bytes, count, &written, NULL) && written == count;
}

bool port_read_attempt(unsigned char *byte) {
    if (port_handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD start_ms = GetTickCount();
    DWORD got = 0;
    if (ReadFile(port_handle, byte, 1, &got, NULL) && got == 1)
        return true;
    // A port whose device has gone fails at once: wait out the attempt so that callers
    // counting attempts as seconds do not spin.
    DWORD spent_ms = GetTickCount() - start_ms;
    if (spent_ms < PORT_READ_TIMEOUT_MS)
        Sleep(PORT_READ_TIMEOUT_MS - spent_ms);
    return false;
}
