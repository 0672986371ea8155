// The target's end of the serial line: a pseudo-terminal master (the downloader opens the
// slave) or a real serial device, with optional pacing to the byte time of the line speed.
#ifndef TARGET_LINE_H
#define TARGET_LINE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <termios.h>

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

struct RxByte {
    uint8_t byte;
    unsigned speed;    // the downloader's line speed when the byte arrived, 0 if unknown (TCP)
    TimePoint due;     // when the target may see it (its arrival, or later when paced)
    TimePoint arrived; // when it was read from the line
};

struct Line {
    int fd = -1;       // pseudo-terminal master or device
    int slave_fd = -1; // our own descriptor on the slave, so reopening it never hangs up
    bool device = false;
    bool tcp = false; // a TCP connection: no line speed
    std::string path; // the slave's path, the device's, or tcp:127.0.0.1:PORT
    bool pace = false;
    unsigned device_speed = 0;
    bool have_saved = false;
    struct termios saved {};
    std::deque<RxByte> rx;
    TimePoint rx_line_free{};
    std::deque<std::pair<uint8_t, TimePoint>> tx; // byte and when it may be written
    TimePoint tx_line_free{};
    TimePoint last_arrival{};
    TimePoint last_write{};
    // How late paced bytes went out against their due time: the target's own pacing error.
    std::chrono::microseconds late_total{0}, late_max{0};
    uint64_t late_count = 0;
};

// line_open_pty: a new raw pseudo-terminal pair, the slave at idle_speed until the downloader
// sets its own; false with the reason in error.
bool line_open_pty(Line &line, unsigned idle_speed, std::string &error);

// line_open_device: the serial device in raw 8N1 at speed, taken exclusively.
bool line_open_device(Line &line, const std::string &path, unsigned speed, std::string &error);

// line_open_tcp: listens on 127.0.0.1:port (0: any free port, named in line.path); false
// with the reason in error.
bool line_open_tcp(Line &line, unsigned port, std::string &error);

// line_accept_tcp: waits up to timeout_s (0: without limit) for the one connection that is
// the line from then on.
bool line_accept_tcp(Line &line, unsigned timeout_s, std::string &error);

// line_close: restores a device's settings and closes every descriptor.
void line_close(Line &line);

// line_read: takes in whatever has arrived, tagging each byte with the downloader's speed;
// false with the reason in error when the line fails.
bool line_read(Line &line, TimePoint now, std::string &error);

// line_next_rx: the next received byte that is due by now, if any.
bool line_next_rx(Line &line, TimePoint now, RxByte &out);

// line_send: queues bytes to go out at speed (paced from now when pacing).
void line_send(Line &line, const uint8_t *bytes, size_t count, unsigned speed, TimePoint now);

// line_flush: writes the queued bytes that are due; false with the reason on a write error.
bool line_flush(Line &line, TimePoint now, std::string &error);

// line_tx_pending: bytes are still queued for writing.
bool line_tx_pending(const Line &line);

// line_peer_unread: our output written but not yet read by the downloader (or, on a device,
// not yet transmitted).
bool line_peer_unread(const Line &line);

// line_set_device_speed: switches a device to a new speed once its output has gone.
bool line_set_device_speed(Line &line, unsigned speed, std::string &error);

// line_next_due: when the earliest queued byte falls due in either direction (rx only when
// rx_wanted); TimePoint::max() if none.
TimePoint line_next_due(const Line &line, bool rx_wanted);

// line_wants_write: the first queued output byte is due and waits for room to be written.
bool line_wants_write(const Line &line, TimePoint now);

#endif
