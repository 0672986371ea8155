// Runs the Win32 serial back end through a fixed script on COM1 and reports each result as one
// line on standard output; the Linux side (serial_test.cpp) plays the other end of the line
// and checks the reports. Lines: "<step> <values...>", times in milliseconds.
#include <stdio.h>
#include <windows.h>

#include "serial/port.h"
#include "serial/serial.h"

namespace {

void report(const char *format, unsigned a, unsigned b = 0, unsigned c = 0) {
    printf(format, a, b, c);
    printf("\n");
    fflush(stdout);
}

// The other end's answer to a step: a line on standard input.
void wait_for_peer() {
    char line[32];
    if (fgets(line, sizeof line, stdin) == 0)
        ExitProcess(2);
}

} // namespace

int main() {
    baud_rate = 19200;
    bool absent = open_port(2);
    report("absent %u %u", absent, port_is_open());

    report("open %u", open_port(1));
    wait_for_peer(); // it has checked the line settings

    DWORD start = GetTickCount();
    unsigned char byte = 0xAA;
    bool got = receive_byte(&byte, 0, 0);
    report("silence %u %u %u", got, byte, GetTickCount() - start);

    report("waiting %u", 0);
    start = GetTickCount();
    got = receive_byte(&byte, 5, 0);
    report("byte %u %u %u", got, byte, GetTickCount() - start);

    report("send-junk %u", 0);
    wait_for_peer(); // it has written
    Sleep(200);
    purge_input();
    got = receive_byte(&byte, 1, 0);
    report("purged %u", got);

    // Written output must survive a close that follows at once.
    unsigned char run[200];
    for (unsigned i = 0; i < sizeof run; ++i)
        run[i] = (unsigned char)(i * 7 + 1);
    bool sent = send_bytes(run, sizeof run);
    close_port();
    report("closed %u %u", sent, port_is_open());

    start = GetTickCount();
    byte = 0xAA;
    got = receive_byte(&byte, 3, 0);
    report("closed-read %u %u %u", got, byte, GetTickCount() - start);
    return 0;
}
