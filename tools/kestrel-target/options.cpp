#include "tools/kestrel-target/options.h"

#include <getopt.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char USAGE[] =
    "Usage: kestrel-target [OPTION]...\n"
    "Simulated target system (embedded controller) for the firmware downloader: its command\n"
    "line, login, upgrade mode and both transfer modes, on a pseudo-terminal or a serial "
    "device.\n"
    "The first line on stdout is the serial device to give the downloader.\n"
    "\n"
    "Line:\n"
    "  --device PATH          use this serial device instead of a new pseudo-terminal\n"
    "  --tcp PORT             be a TCP server on 127.0.0.1:PORT (0: any free port) whose one\n"
    "                         connection is the line, e.g. an emulated PC's serial port; the\n"
    "                         first line on stdout is then tcp:127.0.0.1:PORT. Such a line has\n"
    "                         no speed: bytes are never garbled by a speed mismatch\n"
    "  --link PATH            also create the symlink PATH to the pseudo-terminal (removed at "
    "exit)\n"
    "  --baud RATE            speed the command line answers at (default 57600); bytes sent "
    "at\n"
    "                         any other speed arrive garbled and are echoed as 0x00\n"
    "  --upgrade-baud RATE    speed after the upgrade-mode command (default: --baud)\n"
    "  --pace                 pace both directions to the real byte time (10 bits per byte)\n"
    "\n"
    "Command line:\n"
    "  --login USER:PASS      require a login with this user number and password (may be "
    "repeated)\n"
    "  --waiting              start in upgrade mode, showing the download-waiting line\n"
    "  --flash-map TEXT       answer to \"_DUMP_FLASH_MAP\" (default \"1 : FE\")\n"
    "\n"
    "Transfer:\n"
    "  --mode MODE            answer to the sector-size request: sector (the size), line (NAK),\n"
    "                         cancel (CAN and a refusal text, then silence); default sector\n"
    "  --sector-size BYTES    sector size announced in sector mode (default 32768; the\n"
    "                         downloader accepts 32768 and 131072, any multiple of 128 is sent)\n"
    "  --program-ms MS        time to program a sector before the ACK to its FS (default 0)\n"
    "  --output FILE          write the received image to FILE when a transfer ends\n"
    "  --range START:END      address range of --output, inclusive, hex (0x) or decimal; "
    "bytes\n"
    "                         not received are 0xFF (required with --output)\n"
    "\n"
    "Run:\n"
    "  --stay                 after a transfer, start afresh instead of exiting\n"
    "  --idle-timeout S       exit with status 3 after S seconds without a byte from the\n"
    "                         downloader (default 120; 0 = never)\n"
    "  --stall-timeout S      end a transfer as failed after S seconds without traffic either\n"
    "                         way (default 20; 0 = never)\n"
    "  --log FILE             write the event log to FILE instead of stderr\n"
    "  -v, --verbose          log every header, block and line, not only faults and sectors\n"
    "  -h, --help             show this text\n"
    "\n"
    "Faults (options naming a point may be repeated):\n"
    "  POINT is one of: start (the ACK to \"download_firmware\"), size (the answer to the\n"
    "  sector-size request), header:S, block:S:B, fs:S (the answer to sector S's header, to\n"
    "  its block B, to its FS), line:L (the answer to line L). Sectors, blocks and lines\n"
    "  count from 1; blocks within their sector. A repeated frame is the same point.\n"
    "  --nak-header S[:N]     NAK the header of sector S the first N times (default 1)\n"
    "  --nak-block S:B[:N]    NAK block B of sector S the first N times (default 1)\n"
    "  --nak-line L[:N]       NAK line L (each NAK followed by an ACK) the first N times\n"
    "  --syn-before POINT     send SYN before the answer at POINT (once)\n"
    "  --syn-delay-ms MS      pause between such a SYN and the answer (default 0)\n"
    "  --delay-at POINT:MS    hold the answer at POINT back for MS milliseconds (once)\n"
    "  --cancel-header S      answer sector S's header with CAN and a refusal text\n"
    "  --cancel-block S:B     answer block B of sector S with CAN\n"
    "  --silent-at POINT      stop answering at POINT; the transfer then ends as failed at the\n"
    "                         downloader's end byte or at the stall timeout\n"
    "  --no-ack-fs S          never answer sector S's FS\n"
    "  --bad-fs-answer S      answer sector S's FS with NAK\n"
    "  --size-fail N          answer the first N sector-size requests with an unusable size\n"
    "                         (00 00 80 00); \"download_firmware\" is accepted again after it\n"
    "  --garbage-before-size HEX  send these bytes (hex digits, e.g. 4142 or \"41 42\") before\n"
    "                         every answer to the sector-size request\n"
    "\n"
    "Line noise and lost targets (RATE is a probability per byte, e.g. 0.001):\n"
    "  --corrupt-rx RATE      flip one random bit of bytes from the downloader\n"
    "  --corrupt-tx RATE      flip one random bit of bytes to the downloader\n"
    "  --drop-rx RATE         lose bytes from the downloader\n"
    "  --drop-tx RATE         lose bytes to the downloader\n"
    "  --seed N               seed of the noise (default 1): the same seed and rates damage\n"
    "                         the same bytes of each direction in every run\n"
    "  --faults-from POINT    start the noise at the answer at POINT (default start), or at\n"
    "                         power-on with \"boot\", the command line included\n"
    "  --reset-at POINT       reset at POINT instead of answering (once): the transfer is\n"
    "                         forgotten, a boot banner and the power-on prompt follow at the\n"
    "                         start speed, as after a watchdog reset\n"
    "  --vanish-at POINT      at POINT close the pseudo-terminal completely (master and our own\n"
    "                         slave descriptor) so the downloader's device hangs up, as a\n"
    "                         pulled USB adapter does; then exit with status 4\n"
    "  In sector mode an EOT or NAK from the downloader counts as its end byte only when it\n"
    "  stands alone: after our last answer or a pause, and followed by 0.5 s of silence.\n"
    "\n"
    "Exit status: 0 transfer complete (EOT received in sector mode, EOT sent in line mode);\n"
    "2 transfer abandoned, cancelled or failed; 3 idle timeout; 1 bad usage or line error;\n"
    "4 line closed by --vanish-at; 5 EOT received in sector mode before every sector's FS\n"
    "was acknowledged (a downloader fault); 128+N on signal N.\n"
    "\n"
    "Example:\n"
    "  kestrel-target --link /tmp/ttyK --login 42:secret --upgrade-baud 19200 \\\n"
    "      --nak-block 2:17 --output got.bin --range 0x8000:0x87FFF\n"
    "  then run the downloader on /tmp/ttyK and compare got.bin with the image.\n";

static const unsigned KNOWN_SPEEDS[] = {300,   600,   1200,  2400,   4800,  9600,
                                        19200, 38400, 57600, 115200, 230400};

bool speed_is_known(unsigned baud) {
    for (unsigned s : KNOWN_SPEEDS)
        if (s == baud)
            return true;
    return false;
}

std::string point_name(const Point &p) {
    switch (p.kind) {
    case Point::START:
        return "download start";
    case Point::SIZE:
        return "sector-size request";
    case Point::HEADER:
        return "sector " + std::to_string(p.a) + " header";
    case Point::BLOCK:
        return "sector " + std::to_string(p.a) + " block " + std::to_string(p.b);
    case Point::FS:
        return "sector " + std::to_string(p.a) + " FS";
    case Point::LINE:
        return "line " + std::to_string(p.a);
    }
    return "?";
}

std::string point_text(const Point &p) {
    switch (p.kind) {
    case Point::START:
        return "start";
    case Point::SIZE:
        return "size";
    case Point::HEADER:
        return "header:" + std::to_string(p.a);
    case Point::BLOCK:
        return "block:" + std::to_string(p.a) + ":" + std::to_string(p.b);
    case Point::FS:
        return "fs:" + std::to_string(p.a);
    case Point::LINE:
        return "line:" + std::to_string(p.a);
    }
    return "?";
}

// parse_number: decimal, or hexadecimal with 0x; the whole text must be used.
static bool parse_number(const std::string &text, uint64_t &value) {
    if (text.empty())
        return false;
    const char *s = text.c_str();
    int base = 10;
    if (text.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    }
    if (!isxdigit((unsigned char)*s))
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(s, &end, base);
    if (errno != 0 || *end != '\0')
        return false;
    value = v;
    return true;
}

static bool parse_u32(const std::string &text, uint32_t &value) {
    uint64_t v;
    if (!parse_number(text, v) || v > 0xFFFFFFFFu)
        return false;
    value = (uint32_t)v;
    return true;
}

static std::vector<std::string> split(const std::string &text, char sep) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        size_t at = text.find(sep, from);
        parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            return parts;
        from = at + 1;
    }
}

// parse_numbers: "n1:n2:..." with between min_count and max_count non-zero numbers.
static bool parse_numbers(const std::string &text, size_t min_count, size_t max_count,
                          std::vector<uint32_t> &out) {
    out.clear();
    std::vector<std::string> parts = split(text, ':');
    if (parts.size() < min_count || parts.size() > max_count)
        return false;
    for (const std::string &part : parts) {
        uint32_t v;
        if (!parse_u32(part, v) || v == 0)
            return false;
        out.push_back(v);
    }
    return true;
}

// parse_point_prefix: a point at the start of the colon-separated parts; used tells how many.
static bool parse_point_parts(const std::vector<std::string> &parts, Point &p, size_t &used) {
    if (parts.empty())
        return false;
    const std::string &kind = parts[0];
    size_t numbers;
    if (kind == "start") {
        p.kind = Point::START;
        numbers = 0;
    } else if (kind == "size") {
        p.kind = Point::SIZE;
        numbers = 0;
    } else if (kind == "header") {
        p.kind = Point::HEADER;
        numbers = 1;
    } else if (kind == "block") {
        p.kind = Point::BLOCK;
        numbers = 2;
    } else if (kind == "fs") {
        p.kind = Point::FS;
        numbers = 1;
    } else if (kind == "line") {
        p.kind = Point::LINE;
        numbers = 1;
    } else {
        return false;
    }
    if (parts.size() < 1 + numbers)
        return false;
    uint32_t v[2] = {0, 0};
    for (size_t i = 0; i < numbers; ++i)
        if (!parse_u32(parts[1 + i], v[i]) || v[i] == 0)
            return false;
    p.a = v[0];
    p.b = v[1];
    used = 1 + numbers;
    return true;
}

static bool parse_point(const std::string &text, Point &p) {
    std::vector<std::string> parts = split(text, ':');
    size_t used;
    return parse_point_parts(parts, p, used) && used == parts.size();
}

// parse_rate: a probability, 0 to 1.
static bool parse_rate(const std::string &text, double &rate) {
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    double v = strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(v >= 0.0 && v <= 1.0))
        return false;
    rate = v;
    return true;
}

static bool parse_hex_bytes(const std::string &text, std::vector<uint8_t> &out) {
    std::string digits;
    for (char c : text) {
        if (isxdigit((unsigned char)c))
            digits += c;
        else if (c != ' ' && c != ',' && c != ':')
            return false;
    }
    if (digits.empty() || digits.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        out.push_back((uint8_t)strtoul(digits.substr(i, 2).c_str(), nullptr, 16));
    return true;
}

enum {
    OPT_DEVICE = 1000,
    OPT_LINK,
    OPT_TCP,
    OPT_BAUD,
    OPT_UPGRADE_BAUD,
    OPT_PACE,
    OPT_LOGIN,
    OPT_WAITING,
    OPT_FLASH_MAP,
    OPT_MODE,
    OPT_SECTOR_SIZE,
    OPT_PROGRAM_MS,
    OPT_OUTPUT,
    OPT_RANGE,
    OPT_STAY,
    OPT_IDLE_TIMEOUT,
    OPT_STALL_TIMEOUT,
    OPT_LOG,
    OPT_NAK_HEADER,
    OPT_NAK_BLOCK,
    OPT_NAK_LINE,
    OPT_SYN_BEFORE,
    OPT_SYN_DELAY_MS,
    OPT_DELAY_AT,
    OPT_CANCEL_HEADER,
    OPT_CANCEL_BLOCK,
    OPT_SILENT_AT,
    OPT_NO_ACK_FS,
    OPT_BAD_FS_ANSWER,
    OPT_SIZE_FAIL,
    OPT_GARBAGE_BEFORE_SIZE,
    OPT_CORRUPT_RX,
    OPT_CORRUPT_TX,
    OPT_DROP_RX,
    OPT_DROP_TX,
    OPT_SEED,
    OPT_FAULTS_FROM,
    OPT_RESET_AT,
    OPT_VANISH_AT,
};

static const struct option LONG_OPTIONS[] = {
    {"device", required_argument, nullptr, OPT_DEVICE},
    {"link", required_argument, nullptr, OPT_LINK},
    {"tcp", required_argument, nullptr, OPT_TCP},
    {"baud", required_argument, nullptr, OPT_BAUD},
    {"upgrade-baud", required_argument, nullptr, OPT_UPGRADE_BAUD},
    {"pace", no_argument, nullptr, OPT_PACE},
    {"login", required_argument, nullptr, OPT_LOGIN},
    {"waiting", no_argument, nullptr, OPT_WAITING},
    {"flash-map", required_argument, nullptr, OPT_FLASH_MAP},
    {"mode", required_argument, nullptr, OPT_MODE},
    {"sector-size", required_argument, nullptr, OPT_SECTOR_SIZE},
    {"program-ms", required_argument, nullptr, OPT_PROGRAM_MS},
    {"output", required_argument, nullptr, OPT_OUTPUT},
    {"range", required_argument, nullptr, OPT_RANGE},
    {"stay", no_argument, nullptr, OPT_STAY},
    {"idle-timeout", required_argument, nullptr, OPT_IDLE_TIMEOUT},
    {"stall-timeout", required_argument, nullptr, OPT_STALL_TIMEOUT},
    {"log", required_argument, nullptr, OPT_LOG},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"nak-header", required_argument, nullptr, OPT_NAK_HEADER},
    {"nak-block", required_argument, nullptr, OPT_NAK_BLOCK},
    {"nak-line", required_argument, nullptr, OPT_NAK_LINE},
    {"syn-before", required_argument, nullptr, OPT_SYN_BEFORE},
    {"syn-delay-ms", required_argument, nullptr, OPT_SYN_DELAY_MS},
    {"delay-at", required_argument, nullptr, OPT_DELAY_AT},
    {"cancel-header", required_argument, nullptr, OPT_CANCEL_HEADER},
    {"cancel-block", required_argument, nullptr, OPT_CANCEL_BLOCK},
    {"silent-at", required_argument, nullptr, OPT_SILENT_AT},
    {"no-ack-fs", required_argument, nullptr, OPT_NO_ACK_FS},
    {"bad-fs-answer", required_argument, nullptr, OPT_BAD_FS_ANSWER},
    {"size-fail", required_argument, nullptr, OPT_SIZE_FAIL},
    {"garbage-before-size", required_argument, nullptr, OPT_GARBAGE_BEFORE_SIZE},
    {"corrupt-rx", required_argument, nullptr, OPT_CORRUPT_RX},
    {"corrupt-tx", required_argument, nullptr, OPT_CORRUPT_TX},
    {"drop-rx", required_argument, nullptr, OPT_DROP_RX},
    {"drop-tx", required_argument, nullptr, OPT_DROP_TX},
    {"seed", required_argument, nullptr, OPT_SEED},
    {"faults-from", required_argument, nullptr, OPT_FAULTS_FROM},
    {"reset-at", required_argument, nullptr, OPT_RESET_AT},
    {"vanish-at", required_argument, nullptr, OPT_VANISH_AT},
    {nullptr, 0, nullptr, 0},
};

static bool bad_value(const char *option, const char *value, const char *expected) {
    fprintf(stderr, "kestrel-target: --%s %s: expected %s (see --help)\n", option, value, expected);
    return false;
}

// apply_option: one option with its value; false after printing what is wrong.
static bool apply_option(int id, const char *name, const std::string &value, Options &opts) {
    std::vector<uint32_t> n;
    uint32_t u;
    Point p;
    const char *v = value.c_str();
    switch (id) {
    case OPT_DEVICE:
        opts.device = value;
        return true;
    case OPT_LINK:
        opts.link = value;
        return true;
    case OPT_TCP:
        if (!parse_u32(value, u) || u > 65535)
            return bad_value(name, v, "a TCP port number (0 for any free one)");
        opts.tcp_port = (int)u;
        return true;
    case OPT_BAUD:
    case OPT_UPGRADE_BAUD:
        if (!parse_u32(value, u) || !speed_is_known(u))
            return bad_value(name, v,
                             "a speed such as 57600, 38400, 19200, 9600, 4800, 2400, 1200");
        (id == OPT_BAUD ? opts.baud : opts.upgrade_baud) = u;
        return true;
    case OPT_LOGIN: {
        size_t colon = value.find(':');
        if (colon == std::string::npos || colon == 0)
            return bad_value(name, v, "USER:PASS");
        opts.logins.emplace_back(value.substr(0, colon), value.substr(colon + 1));
        return true;
    }
    case OPT_FLASH_MAP:
        opts.flash_map = value;
        return true;
    case OPT_MODE:
        if (value == "sector")
            opts.mode = Mode::SECTOR;
        else if (value == "line")
            opts.mode = Mode::LINE;
        else if (value == "cancel")
            opts.mode = Mode::CANCEL;
        else
            return bad_value(name, v, "sector, line or cancel");
        return true;
    case OPT_SECTOR_SIZE:
        if (!parse_u32(value, u) || u == 0 || u % 128 != 0)
            return bad_value(name, v, "a non-zero multiple of 128");
        opts.sector_size = u;
        return true;
    case OPT_PROGRAM_MS:
    case OPT_SYN_DELAY_MS:
    case OPT_IDLE_TIMEOUT:
    case OPT_STALL_TIMEOUT:
    case OPT_SIZE_FAIL:
        if (!parse_u32(value, u))
            return bad_value(name, v, "a number");
        if (id == OPT_PROGRAM_MS)
            opts.program_ms = u;
        else if (id == OPT_SYN_DELAY_MS)
            opts.syn_delay_ms = u;
        else if (id == OPT_IDLE_TIMEOUT)
            opts.idle_timeout_s = u;
        else if (id == OPT_STALL_TIMEOUT)
            opts.stall_timeout_s = u;
        else
            opts.size_fail = u;
        return true;
    case OPT_OUTPUT:
        opts.output = value;
        return true;
    case OPT_LOG:
        opts.log_file = value;
        return true;
    case OPT_RANGE: {
        std::vector<std::string> parts = split(value, ':');
        uint64_t start, end;
        if (parts.size() != 2 || !parse_number(parts[0], start) || !parse_number(parts[1], end) ||
            end < start || end > 0xFFFFFFFFull)
            return bad_value(name, v, "START:END with START <= END <= 0xFFFFFFFF");
        if (end - start >= (1ull << 28))
            return bad_value(name, v, "a range of at most 256 MiB");
        opts.have_range = true;
        opts.range_start = start;
        opts.range_end = end;
        return true;
    }
    case OPT_NAK_HEADER:
    case OPT_NAK_LINE:
        if (!parse_numbers(value, 1, 2, n))
            return bad_value(name, v, id == OPT_NAK_HEADER ? "SECTOR[:N]" : "LINE[:N]");
        p.kind = id == OPT_NAK_HEADER ? Point::HEADER : Point::LINE;
        p.a = n[0];
        opts.nak_at.push_back({p, n.size() > 1 ? n[1] : 1u});
        return true;
    case OPT_NAK_BLOCK:
        if (!parse_numbers(value, 2, 3, n))
            return bad_value(name, v, "SECTOR:BLOCK[:N]");
        p.kind = Point::BLOCK;
        p.a = n[0];
        p.b = n[1];
        opts.nak_at.push_back({p, n.size() > 2 ? n[2] : 1u});
        return true;
    case OPT_SYN_BEFORE:
    case OPT_SILENT_AT:
        if (!parse_point(value, p))
            return bad_value(name, v, "a POINT (start, size, header:S, block:S:B, fs:S, line:L)");
        (id == OPT_SYN_BEFORE ? opts.syn_before : opts.silent_at).push_back(p);
        return true;
    case OPT_DELAY_AT: {
        std::vector<std::string> parts = split(value, ':');
        size_t used;
        if (!parse_point_parts(parts, p, used) || parts.size() != used + 1 ||
            !parse_u32(parts[used], u))
            return bad_value(name, v, "POINT:MS");
        opts.delay_at.push_back({p, u});
        return true;
    }
    case OPT_CANCEL_HEADER:
        if (!parse_numbers(value, 1, 1, n))
            return bad_value(name, v, "SECTOR");
        p.kind = Point::HEADER;
        p.a = n[0];
        opts.cancel_at.push_back(p);
        return true;
    case OPT_CANCEL_BLOCK:
        if (!parse_numbers(value, 2, 2, n))
            return bad_value(name, v, "SECTOR:BLOCK");
        p.kind = Point::BLOCK;
        p.a = n[0];
        p.b = n[1];
        opts.cancel_at.push_back(p);
        return true;
    case OPT_NO_ACK_FS:
    case OPT_BAD_FS_ANSWER:
        if (!parse_numbers(value, 1, 1, n))
            return bad_value(name, v, "SECTOR");
        (id == OPT_NO_ACK_FS ? opts.no_ack_fs : opts.bad_fs_answer).push_back(n[0]);
        return true;
    case OPT_CORRUPT_RX:
    case OPT_CORRUPT_TX:
    case OPT_DROP_RX:
    case OPT_DROP_TX: {
        double rate;
        if (!parse_rate(value, rate))
            return bad_value(name, v, "a probability per byte from 0 to 1, e.g. 0.001");
        (id == OPT_CORRUPT_RX   ? opts.corrupt_rx
         : id == OPT_CORRUPT_TX ? opts.corrupt_tx
         : id == OPT_DROP_RX    ? opts.drop_rx
                                : opts.drop_tx) = rate;
        return true;
    }
    case OPT_SEED: {
        uint64_t seed;
        if (!parse_number(value, seed))
            return bad_value(name, v, "a number");
        opts.seed = seed;
        return true;
    }
    case OPT_FAULTS_FROM:
        opts.faults_from_boot = value == "boot";
        if (!opts.faults_from_boot && !parse_point(value, opts.faults_from))
            return bad_value(name, v,
                             "boot or a POINT (start, size, header:S, block:S:B, fs:S, "
                             "line:L)");
        return true;
    case OPT_RESET_AT:
    case OPT_VANISH_AT:
        if (!parse_point(value, p))
            return bad_value(name, v, "a POINT (start, size, header:S, block:S:B, fs:S, line:L)");
        (id == OPT_RESET_AT ? opts.reset_at : opts.vanish_at).push_back(p);
        return true;
    case OPT_GARBAGE_BEFORE_SIZE:
        if (!parse_hex_bytes(value, opts.garbage_before_size))
            return bad_value(name, v, "hex bytes such as 4142 or \"41 42\"");
        return true;
    }
    return false;
}

bool parse_options(int argc, char **argv, Options &opts, bool &exit_now) {
    exit_now = false;
    opterr = 0;
    for (;;) {
        int index = -1;
        int id = getopt_long(argc, argv, ":vh", LONG_OPTIONS, &index);
        if (id == -1)
            break;
        switch (id) {
        case 'h':
            fputs(USAGE, stdout);
            exit_now = true;
            return true;
        case 'v':
            opts.verbose = true;
            break;
        case OPT_PACE:
            opts.pace = true;
            break;
        case OPT_WAITING:
            opts.waiting = true;
            break;
        case OPT_STAY:
            opts.stay = true;
            break;
        case ':':
            fprintf(stderr, "kestrel-target: %s needs a value (see --help)\n", argv[optind - 1]);
            return false;
        case '?':
            fprintf(stderr, "kestrel-target: unknown option %s (see --help)\n", argv[optind - 1]);
            return false;
        default:
            if (!apply_option(id, LONG_OPTIONS[index].name, optarg, opts))
                return false;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "kestrel-target: unexpected argument %s (see --help)\n", argv[optind]);
        return false;
    }
    if (opts.tcp_port >= 0 && (!opts.device.empty() || !opts.link.empty())) {
        fprintf(stderr, "kestrel-target: --tcp goes without --device and --link (see --help)\n");
        return false;
    }
    if (!opts.output.empty() && !opts.have_range) {
        fprintf(stderr, "kestrel-target: --output needs --range START:END (see --help)\n");
        return false;
    }
    if (opts.upgrade_baud == 0)
        opts.upgrade_baud = opts.baud;
    return true;
}
