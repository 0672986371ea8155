// The simulated controller: its command line (login, upgrade mode, flash map) and its side
// of the transfer in sector and line mode, with faults injected where the options ask.
#ifndef TARGET_TARGET_H
#define TARGET_TARGET_H

#include "tools/kestrel-target/line.h"
#include "tools/kestrel-target/noise.h"
#include "tools/kestrel-target/options.h"

#include <functional>
#include <string>
#include <vector>

class Target {
  public:
    Target(const Options &opts, Line &line);

    // on_byte: one received byte, seen at now. Only while not busy().
    void on_byte(const RxByte &rx, TimePoint now);

    // tick: runs a held-back answer that has fallen due and the time-outs.
    void tick(TimePoint now);

    // busy: an answer is held back (programming, a delay, a SYN pause); input waits.
    bool busy() const { return deferred_; }

    // next_deadline: when tick has something to do next.
    TimePoint next_deadline() const;

    // ended: a transfer has ended and the target does not stay; exit_status tells how.
    bool ended() const { return ended_; }
    int exit_status() const { return exit_status_; }
    TimePoint ended_at() const { return ended_at_; }

    // abort_run: the run stops from outside (idle time-out, signal): a transfer in progress
    // is written out and summarised as failed.
    void abort_run(const std::string &why, TimePoint now);

    // speed: the speed the target answers at now.
    unsigned speed() const { return speed_; }

  private:
    enum class State {
        LOGIN_USER,
        LOGIN_PASS,
        COMMAND,
        UPGRADE,
        SIZE_WAIT,
        SIZE_FRAME,
        HEADER_WAIT,
        HEADER_FRAME,
        BLOCK,
        AFTER_BLOCK,
        LINE,
        QUIET,
        ENDED
    };

    // Command line
    void reset_to_start();
    void command_byte(uint8_t c);
    void command_line(const std::string &text);
    void show_prompt();
    void start_download();

    // Transfer
    void begin_transfer();
    void transfer_byte(uint8_t c);
    void size_request();
    void sector_header();
    void sector_block();
    void after_block(uint8_t c);
    void sector_fs();
    void line_end();
    void frame_gap();
    void frame_error(const Point &p, const std::string &what);
    void respond(const Point &p, std::function<void()> answer);
    void defer(unsigned ms, std::function<void()> action);
    void cancel(const std::string &text);
    void go_quiet(const std::string &why);
    void end_transfer(int status, const std::string &result, bool final = false);
    void close_transfer(int status, const std::string &result);
    void log_timing();
    bool at_point(const Point &p);
    void watchdog_reset(const Point &p);
    void vanish(const Point &p);
    void end_byte_candidate(uint8_t c);
    void not_an_end_byte(uint8_t c);
    void end_byte(uint8_t c);
    void eot_unacknowledged(const std::string &why);
    TimePoint frame_deadline() const;
    void store(uint64_t address, const uint8_t *data, size_t count);
    void write_output();
    bool take_nak(const Point &p);

    void send(const std::string &text);
    void send_byte(uint8_t b);
    void transmit(const uint8_t *bytes, size_t count);

    const Options &opts_;
    Line &line_;
    TimePoint now_{};
    unsigned speed_;
    State state_;
    std::string input_;
    std::string user_;
    bool garbled_ = false;

    // Line noise, and the faults that end the target's side of the line once per run
    Noise noise_;
    std::vector<Point> reset_at_;
    std::vector<Point> vanish_at_;

    // Whether the byte being handled stands alone: the downloader's end byte follows our last
    // answer or a pause, never the bytes of a frame
    bool sent_since_rx_ = true;
    TimePoint last_rx_at_{};
    bool rx_isolated_ = false;
    TimePoint rx_arrival_{};
    TimePoint fs_acked_at_{};
    TimePoint end_byte_arrival_{};

    // Held-back answer
    bool deferred_ = false;
    TimePoint deferred_at_{};
    std::function<void()> deferred_fn_;

    // Transfer
    bool transfer_active_ = false;
    Mode answered_mode_ = Mode::CANCEL;
    bool mode_chosen_ = false;
    std::vector<uint8_t> frame_;
    TimePoint last_delivered_{};
    TimePoint last_traffic_{};
    uint32_t sector_ = 1;
    uint32_t block_ = 1;
    uint32_t blocks_per_sector_ = 0;
    uint32_t sectors_done_ = 0;
    uint64_t blocks_done_ = 0;
    uint32_t line_no_ = 1;
    uint32_t lines_done_ = 0;
    bool first_line_seen_ = false;
    unsigned naks_sent_ = 0;
    unsigned frame_errors_ = 0; // consecutive checksum errors of the current frame
    unsigned size_requests_ = 0;
    // The downloader's turnaround: from our last write to its next byte, for every answer.
    std::vector<long> turnaround_us_;
    std::string quiet_reason_;
    std::vector<uint8_t> image_;

    // Faults still to fire in this transfer
    std::vector<CountedPoint> nak_at_;
    std::vector<Point> syn_before_;
    std::vector<CountedPoint> delay_at_;
    unsigned size_fail_left_ = 0;

    bool ended_ = false;
    int exit_status_ = 0;
    TimePoint ended_at_{};
};

#endif
