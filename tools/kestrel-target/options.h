// Command-line options of the simulated target, parsed once at start.
#ifndef TARGET_OPTIONS_H
#define TARGET_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

// A place in the transfer where a fault can be injected; sectors, blocks and lines count
// from 1, blocks within their sector.
struct Point {
    enum Kind { START, SIZE, HEADER, BLOCK, FS, LINE };
    Kind kind = START;
    uint32_t a = 0; // sector or line
    uint32_t b = 0; // block
    bool operator==(const Point &o) const { return kind == o.kind && a == o.a && b == o.b; }
};

// point_text: the point as an option names it ("block:3:17"); point_name: as the log names
// it ("sector 3 block 17").
std::string point_text(const Point &p);
std::string point_name(const Point &p);

struct CountedPoint {
    Point point;
    unsigned count = 1; // times the fault fires, or milliseconds for --delay-at
};

enum class Mode { SECTOR, LINE, CANCEL };

struct Options {
    // Line
    std::string device;
    int tcp_port = -1; // listen for the line on this TCP port (0: any free one); -1: no
    std::string link;
    unsigned baud = 57600;
    unsigned upgrade_baud = 0; // 0: same as baud
    bool pace = false;

    // Command line
    std::vector<std::pair<std::string, std::string>> logins;
    bool waiting = false;
    std::string flash_map = "1 : FE";

    // Transfer
    Mode mode = Mode::SECTOR;
    uint32_t sector_size = 32768;
    unsigned program_ms = 0;
    std::string output;
    bool have_range = false;
    uint64_t range_start = 0, range_end = 0;

    // Run
    bool stay = false;
    unsigned idle_timeout_s = 120;
    unsigned stall_timeout_s = 20;
    std::string log_file;
    bool verbose = false;

    // Faults
    std::vector<CountedPoint> nak_at; // HEADER, BLOCK or LINE points with a count
    std::vector<Point> syn_before;
    unsigned syn_delay_ms = 0;
    std::vector<CountedPoint> delay_at;
    std::vector<Point> cancel_at; // HEADER or BLOCK
    std::vector<Point> silent_at;
    std::vector<uint32_t> no_ack_fs;
    std::vector<uint32_t> bad_fs_answer;
    unsigned size_fail = 0;
    std::vector<uint8_t> garbage_before_size;

    // Line noise and lost targets
    double corrupt_rx = 0, corrupt_tx = 0; // probability per byte of one bit flipped
    double drop_rx = 0, drop_tx = 0;       // probability per byte of losing it
    uint64_t seed = 1;
    bool faults_from_boot = false; // noise from power-on, the command line included
    Point faults_from;             // else from the target's answer at this point
    std::vector<Point> reset_at;
    std::vector<Point> vanish_at;
};

// parse_options: fills opts; false after printing the reason (and a hint to --help) to
// stderr. Sets exit_now (status 0) after printing the usage for --help.
bool parse_options(int argc, char **argv, Options &opts, bool &exit_now);

// speed_is_known: the speeds a termios line can be set to here.
bool speed_is_known(unsigned baud);

#endif
