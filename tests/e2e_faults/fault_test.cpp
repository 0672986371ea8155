// Faults on the line, end to end: both builds against kestrel-target with line noise, a
// target that resets in the middle of a transfer and a line that vanishes. Whatever happens,
// the downloader must end by itself within its own time-outs and never by a signal, exit 0
// only when the target holds the image byte for byte and 1 with its messages otherwise, and
// never send EOT for a sector whose FS the target did not acknowledge.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace {

using clock_type = std::chrono::steady_clock;

const char QUESTION[] = "Continue? (Y, [N])  ";
const char NOT_SUCCESSFUL[] = "ERROR - Download not successful.";
const char TIMEOUT[] = "ERROR - Receiver timeout.";
const char UNACKNOWLEDGED_EOT[] = "EOT for an image not fully acknowledged";
// Two 32768-byte sectors from 0x8000: the data lies in the first, the second is all 0xFF.
const unsigned long RANGE_START = 0x8000, RANGE_END = 0x17FFF;

// The waits that bound a run, from the downloader's own time-outs: the session after
// --waiting takes about 5 s; a failing transfer adds at most a header or block answer (5 s),
// the programming wait after FS (15 s), a drain (2 s) and the last control-byte wait (5 s),
// or a sector-size exchange (11 s) and its restart. Paced line resends take 4.2 s each.
const double SECTOR_BOUND_S = 5 + 5 + 15 + 2 + 5 + 11 + 10;
const double LINE_BOUND_S = 5 + 4 * (5 + 4.2) + 5 + 10;
const double SESSION_BOUND_S = 40; // a full session set-up before the transfer

struct program {
    const char *name;
    const char *port; // COM1 for the main build, COM2 for the real-mode build
};
const program KESTRELLOAD{"kestrelload", "1"};
const program REALMODE{"download", "2"};

struct image {
    std::string path;
    std::string expected; // RANGE_START..RANGE_END as the target must hold it
};

// data_bytes of pseudo-random data at RANGE_START in S2 records of 32 bytes: every byte value
// turns up, control bytes included, so stray end bytes are met as well.
image make_image(unsigned data_bytes) {
    image im;
    im.path = e2e::temp_dir() + "/image.s28";
    im.expected.assign(RANGE_END - RANGE_START + 1, '\xFF');
    std::ofstream out(im.path);
    auto record = [&out](int type, unsigned long address, const std::string &data) {
        std::string bytes;
        bytes += (char)(data.size() + 4);
        bytes += (char)(address >> 16);
        bytes += (char)(address >> 8);
        bytes += (char)address;
        bytes += data;
        unsigned sum = 0;
        for (unsigned char c : bytes)
            sum += c;
        bytes += (char)~sum;
        char hex[4];
        out << 'S' << type;
        for (unsigned char c : bytes) {
            std::snprintf(hex, sizeof hex, "%02X", c);
            out << hex;
        }
        out << '\n';
    };
    out << "S00D00006661756C742074657374F6\n";
    uint32_t state = 12345;
    for (unsigned offset = 0; offset < data_bytes; offset += 32) {
        std::string data;
        for (int i = 0; i < 32; ++i) {
            state = state * 1103515245u + 12345u;
            data += (char)(state >> 23);
        }
        im.expected.replace(offset, 32, data);
        record(2, RANGE_START + offset, data);
    }
    record(8, RANGE_START, "");
    return im;
}

struct scenario {
    std::string name;
    program prog;
    const image *im;
    std::vector<std::string> target_args;
    double bound_s;
};

struct outcome {
    scenario sc;
    e2e::target_run target;
    e2e::console_run console;
    std::string received, log;
    double seconds = 0;
    clock_type::time_point started;
    bool done = false;
};

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// ended: the program has exited; it is left unreaped for e2e::finish.
bool ended(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// run_all: every scenario at once, each downloader confirmed and then left to end by itself;
// one that outlives its bound is killed, which the checks report.
std::vector<outcome> run_all(const std::vector<scenario> &scenarios) {
    std::vector<outcome> runs(scenarios.size());
    for (size_t i = 0; i < scenarios.size(); ++i) {
        outcome &o = runs[i];
        o.sc = scenarios[i];
        o.received = e2e::temp_dir() + "/received.bin";
        std::vector<std::string> args = o.sc.target_args;
        char range[48];
        std::snprintf(range, sizeof range, "0x%lX:0x%lX", RANGE_START, RANGE_END);
        args.insert(args.end(), {"--output", o.received, "--range", range});
        o.target = e2e::start_target(args);
        o.started = clock_type::now();
        o.console = e2e::start_console(
            o.sc.prog.name, {o.sc.im->path, o.sc.prog.port},
            {std::string("KESTRELLOAD_COM") + o.sc.prog.port + "=" + o.target.device});
        EXPECT_TRUE(e2e::expect(o.console, QUESTION, 10)) << o.sc.name << o.console.output;
        e2e::type(o.console, "y");
    }
    for (size_t left = runs.size(); left > 0;) {
        for (outcome &o : runs) {
            if (o.done)
                continue;
            double seconds = std::chrono::duration<double>(clock_type::now() - o.started).count();
            e2e::expect(o.console, "\x01 keep reading", 0.02);
            if (!ended(o.console.pid) && seconds < o.sc.bound_s)
                continue;
            o.seconds = seconds;
            e2e::finish(o.console, 0.5);
            // A target whose transfer ended exits within its end-byte wait; one left waiting
            // at its command line is stopped, its log summary written on the way.
            e2e::finish_target(o.target, 3);
            o.log = e2e::read_file(o.target.log_path);
            o.done = true;
            --left;
        }
    }
    return runs;
}

// check: what holds after every run, whatever the fault.
void check(const outcome &o) {
    SCOPED_TRACE(o.sc.name);
    const std::string &out = o.console.output;
    EXPECT_LT(o.seconds, o.sc.bound_s) << "still running after its time-outs";
    ASSERT_TRUE(o.console.status == 0 || o.console.status == 1)
        << "status " << o.console.status << "\n"
        << out;
    if (o.console.status == 0) {
        EXPECT_TRUE(contains(out, "Download successful."));
        EXPECT_TRUE(e2e::read_file(o.received) == o.sc.im->expected)
            << "status 0 for an image the target does not hold\n"
            << o.log;
    } else {
        EXPECT_TRUE(contains(out, NOT_SUCCESSFUL)) << out;
    }
    EXPECT_NE(o.target.status, 5) << o.log;
    EXPECT_FALSE(contains(o.log, UNACKNOWLEDGED_EOT)) << o.log;
    // The target saw EOT only after acknowledging everything: the downloader must agree.
    if (o.target.status == 0 && contains(o.log, "sector mode")) {
        EXPECT_EQ(o.console.status, 0) << out;
    }
}

std::vector<std::string> args(std::initializer_list<std::string> fault,
                              const std::vector<std::string> &base = {"--waiting"}) {
    std::vector<std::string> all = base;
    all.insert(all.end(), {"--idle-timeout", "60"});
    all.insert(all.end(), fault);
    return all;
}

class Faults : public ::testing::Test {
  protected:
    image sectors = make_image(4096);
    image lines = make_image(1024);
};

TEST_F(Faults, LightNoiseRecoversThroughResends) {
    std::vector<outcome> runs = run_all(
        {{"main build, bits flipped", KESTRELLOAD, &sectors,
          args({"--corrupt-rx", "0.0005", "--seed", "1"}), SECTOR_BOUND_S},
         {"real-mode build, bits flipped and bytes lost", REALMODE, &sectors,
          args({"--corrupt-rx", "0.0003", "--drop-rx", "0.00002", "--seed", "5"}), SECTOR_BOUND_S},
         {"real-mode build, size answer lost to a reset", REALMODE, &sectors,
          args({"--reset-at", "size"}), SECTOR_BOUND_S},
         {"main build, line mode, bytes lost", KESTRELLOAD, &lines,
          args({"--mode", "line", "--drop-rx", "0.0004", "--seed", "2"}), LINE_BOUND_S}});
    for (const outcome &o : runs) {
        check(o);
        EXPECT_EQ(o.console.status, 0) << o.sc.name << "\n" << o.console.output << o.log;
        EXPECT_EQ(o.target.status, 0) << o.sc.name << "\n" << o.log;
    }
    // The noise struck and was answered with NAKs and resends.
    EXPECT_TRUE(contains(runs[0].log, "became")) << runs[0].log;
    EXPECT_FALSE(contains(runs[0].log, "NAKs sent 0,")) << runs[0].log;
    EXPECT_TRUE(contains(runs[1].log, "dropped\n")) << runs[1].log;
    EXPECT_TRUE(contains(runs[2].log, "watchdog reset (injected)")) << runs[2].log;
    EXPECT_TRUE(contains(runs[2].console.output, "will try again"));
    EXPECT_TRUE(contains(runs[3].console.output, "Resending Record")) << runs[3].console.output;
}

TEST_F(Faults, HeavyNoiseFailsCleanly) {
    std::vector<outcome> runs =
        run_all({{"main build, blocks garbled", KESTRELLOAD, &sectors,
                  args({"--corrupt-rx", "0.05", "--faults-from", "header:1", "--seed", "7"}),
                  SECTOR_BOUND_S},
                 {"real-mode build, blocks garbled", REALMODE, &sectors,
                  args({"--corrupt-rx", "0.05", "--faults-from", "header:1", "--seed", "8"}),
                  SECTOR_BOUND_S},
                 {"main build, answers garbled", KESTRELLOAD, &sectors,
                  args({"--corrupt-tx", "0.02", "--seed", "3"}), SECTOR_BOUND_S},
                 {"real-mode build, answers lost", REALMODE, &sectors,
                  args({"--drop-tx", "0.02", "--seed", "3"}), SECTOR_BOUND_S},
                 {"main build, size request garbled", KESTRELLOAD, &sectors,
                  args({"--corrupt-rx", "0.05", "--seed", "3"}), SECTOR_BOUND_S},
                 {"real-mode build, lines garbled", REALMODE, &lines,
                  args({"--mode", "line", "--corrupt-rx", "0.05", "--seed", "4"}), LINE_BOUND_S},
                 // These seeds flip bit 1 of an ACK in line mode: it arrives as EOT.
                 {"main build, line mode, ACK turned EOT", KESTRELLOAD, &lines,
                  args({"--mode", "line", "--corrupt-tx", "0.02", "--seed", "21"}), LINE_BOUND_S},
                 {"real-mode build, line mode, ACK turned EOT", REALMODE, &lines,
                  args({"--mode", "line", "--corrupt-tx", "0.02", "--seed", "60"}), LINE_BOUND_S}});
    for (const outcome &o : runs) {
        check(o);
        EXPECT_EQ(o.console.status, 1) << o.sc.name << "\n" << o.console.output << o.log;
    }
    for (int i : {0, 1}) {
        EXPECT_TRUE(contains(runs[i].log, "errors in a row: CAN")) << runs[i].log;
        EXPECT_TRUE(contains(runs[i].console.output, TIMEOUT)) << runs[i].console.output;
    }
    // Damaged answers end the sector transfer with the NAK end byte.
    for (int i : {2, 3})
        EXPECT_TRUE(contains(runs[i].log, "abandoned: NAK end byte")) << runs[i].log;
    EXPECT_TRUE(contains(runs[4].console.output, "will try again"));
    EXPECT_TRUE(
        contains(runs[5].console.output, "ERROR - Exceeded maximum download attempts for record."))
        << runs[5].console.output;
    for (int i : {6, 7}) {
        EXPECT_TRUE(contains(runs[i].log, "0x06 became 0x04")) << runs[i].log;
        EXPECT_FALSE(contains(runs[i].console.output, "Download Complete."));
        EXPECT_TRUE(contains(runs[i].console.output, TIMEOUT)) << runs[i].console.output;
    }
}

// Noise in both directions at once, over several seeds: some runs recover, the others end
// early; none may give a false result.
TEST_F(Faults, MixedNoiseNeverGivesAFalseResult) {
    std::vector<scenario> scenarios;
    for (int seed = 5; seed <= 8; ++seed)
        scenarios.push_back(
            {"seed " + std::to_string(seed), seed % 2 ? KESTRELLOAD : REALMODE, &sectors,
             args({"--corrupt-rx", "0.0004", "--drop-rx", "0.00002", "--corrupt-tx", "0.0005",
                   "--drop-tx", "0.0005", "--seed", std::to_string(seed)}),
             SECTOR_BOUND_S});
    int statuses[2] = {0, 0};
    for (const outcome &o : run_all(scenarios)) {
        check(o);
        if (o.console.status == 0 || o.console.status == 1)
            ++statuses[o.console.status];
    }
    EXPECT_GT(statuses[0], 0) << "no run recovered: the seeds no longer test resends";
    EXPECT_GT(statuses[1], 0) << "no run failed: the seeds no longer test failures";
}

TEST_F(Faults, TargetResetMidSector) {
    std::vector<outcome> runs =
        run_all({{"main build, from the command line", KESTRELLOAD, &sectors,
                  args({"--reset-at", "block:1:100"}, {}), SESSION_BOUND_S},
                 {"real-mode build, second sector", REALMODE, &sectors,
                  args({"--reset-at", "block:2:10"}), SECTOR_BOUND_S}});
    for (const outcome &o : runs) {
        check(o);
        EXPECT_EQ(o.console.status, 1);
        // The banner and the power-on prompt reach the console; silence then ends the run.
        EXPECT_TRUE(contains(o.console.output, "Kestrel controller boot (watchdog reset)"))
            << o.console.output;
        EXPECT_TRUE(contains(o.console.output, TIMEOUT)) << o.console.output;
        EXPECT_TRUE(contains(o.log, "watchdog reset (injected)")) << o.log;
    }
    EXPECT_TRUE(contains(runs[0].console.output, "kestrel > "));
    EXPECT_TRUE(contains(runs[0].log, "result: target reset at the sector 1 block 100"));
    EXPECT_TRUE(contains(runs[1].log, "sectors programmed 1,")) << runs[1].log;
}

TEST_F(Faults, LineVanishesMidTransfer) {
    std::vector<outcome> runs = run_all(
        {{"main build", KESTRELLOAD, &sectors, args({"--vanish-at", "block:1:50"}), SECTOR_BOUND_S},
         {"real-mode build", REALMODE, &sectors, args({"--vanish-at", "block:2:3"}),
          SECTOR_BOUND_S},
         {"main build, line mode", KESTRELLOAD, &lines,
          args({"--mode", "line", "--vanish-at", "line:3"}), LINE_BOUND_S}});
    for (const outcome &o : runs) {
        check(o);
        EXPECT_EQ(o.console.status, 1);
        EXPECT_EQ(o.target.status, 4) << o.log;
        EXPECT_TRUE(contains(o.log, "result: line vanished at the")) << o.log;
        EXPECT_TRUE(contains(o.console.output, TIMEOUT)) << o.console.output;
        // Waiting on a hung-up device sleeps; it does not spin.
        EXPECT_LT(o.console.cpu_seconds, 2.0) << o.sc.name;
    }
    // The main build's writes fail on the hung-up device.
    EXPECT_TRUE(contains(runs[0].console.output, "ERROR - Could not transmit data."));
}

// A stand-in for the downloader on the target's line, driven byte by byte.
struct raw_line {
    int fd;
    explicit raw_line(const std::string &device) : fd(open(device.c_str(), O_RDWR | O_NOCTTY)) {
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        cfsetspeed(&tio, B57600);
        tcsetattr(fd, TCSANOW, &tio);
    }
    ~raw_line() { close(fd); }
    void send(const std::string &bytes) {
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    }
    // read_until: bytes up to and including last, or what came before 2 s of silence.
    std::string read_until(char last, size_t count = 0) {
        std::string got;
        char c;
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 2000) > 0 && read(fd, &c, 1) == 1) {
            got += c;
            if (count == 0 ? c == last : got.size() == count)
                break;
        }
        return got;
    }
};

// The start, the size exchange, sector 1's header and its first block (0xFF bytes), each
// acknowledged by the target.
void first_block(raw_line &line, const std::string &size_answer) {
    line.send("download_firmware\n");
    ASSERT_EQ(line.read_until('\x06').back(), '\x06');
    line.send(std::string("\x01SIZE\xC1\x55\xC9\xDE", 9));
    ASSERT_EQ(line.read_until(0, 4), size_answer);
    line.send(std::string("\x01\x00\x00\x00\x01\x56\x43\xEF\x8A", 9));
    ASSERT_EQ(line.read_until('\x06'), "\x06");
    line.send(std::string(128, '\xFF') + std::string("\x65\x2D\x54\x4C", 4));
    ASSERT_EQ(line.read_until('\x06'), "\x06");
}

// The check that the other tests rely on: an EOT for a sector the target has not
// acknowledged is reported, while a 0x04 amid other bytes is not taken for an EOT.
TEST(FaultTarget, ReportsAnEotForAnUnacknowledgedSector) {
    // EOT in the middle of a sector, after a stray 0x04.
    e2e::target_run mid = e2e::start_target({"--waiting", "--idle-timeout", "10"});
    {
        raw_line line(mid.device);
        first_block(line, std::string("\x00\x80\x00\x00", 4));
        line.send(std::string("\x04x", 2));
        usleep(800000);
        line.send("\x04");
        EXPECT_EQ(e2e::finish_target(mid, 10), 5);
    }
    std::string log = e2e::read_file(mid.log_path);
    EXPECT_TRUE(contains(log, "byte 0x04 followed by 0x78: not an end byte")) << log;
    EXPECT_TRUE(contains(log, "result: EOT without every sector's FS acknowledged: EOT after "
                              "sector 1 block 1 of 256 (exit status 5)"))
        << log;

    // EOT right behind the FS of a one-block sector, before the target's ACK to it.
    e2e::target_run early = e2e::start_target(
        {"--waiting", "--idle-timeout", "10", "--sector-size", "128", "--program-ms", "500"});
    {
        raw_line line(early.device);
        first_block(line, std::string("\x80\x00\x00\x00", 4));
        line.send("\x1C\x04");
        EXPECT_EQ(line.read_until('\x06'), "\x06");
        EXPECT_EQ(e2e::finish_target(early, 10), 5);
    }
    log = e2e::read_file(early.log_path);
    EXPECT_TRUE(contains(log, "EOT sent before the ACK to sector 1's FS")) << log;
}

} // namespace
