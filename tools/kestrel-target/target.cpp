#include "tools/kestrel-target/target.h"

#include "session/control_bytes.h"
#include "tools/kestrel-target/log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

const char WAITING_LINE[] = "==> Firmware corrupted: download system software\r\n";
const char LOGIN_PROMPT[] = "User# > ";
const char PASSWORD_PROMPT[] = "Password: ";
const char COMMAND_PROMPT[] = "kestrel > ";
const char UPGRADE_WORD[] = "_UPGRADE_SYSTEM_CODE_";
const char UPGRADE_COMMAND[] = "_UPGRADE_SYSTEM_CODE_ 0x5A3C1E07 0x6B2F4D19 0x3E7A0C55 0x1D6E4B28";
const char FLASH_MAP_COMMAND[] = "_DUMP_FLASH_MAP";
const char DOWNLOAD_COMMAND[] = "download_firmware";
const char REFUSAL_TEXT[] = "ERR no upgrade allowed\r\n";
const uint8_t UNUSABLE_SIZE[4] = {0x00, 0x00, 0x80, 0x00}; // 32768 in the wrong byte order

const size_t MAX_INPUT = 256;
const size_t MAX_LINE = 600;
const size_t HEADER_BYTES = 9;
const size_t BLOCK_BYTES = 128;
const size_t BLOCK_FRAME_BYTES = BLOCK_BYTES + 4;
const unsigned MAX_FRAME_ERRORS = 10;
// A frame's bytes leave the downloader in one or two writes; a gap this long means the rest
// was lost.
const auto FRAME_GAP = std::chrono::seconds(2);
// The downloader sends its end byte alone: after our last answer or after a time-out of its
// own, and nothing after it. A 0x04 or 0x15 inside a frame that lost its start is neither.
const auto END_BYTE_PAUSE = std::chrono::milliseconds(200);
const auto END_BYTE_QUIET = std::chrono::milliseconds(500);
const char BOOT_BANNER[] = "\r\n\r\nKestrel controller boot (watchdog reset)\r\n";

// Bitwise on purpose: an independent check of the downloader's table-driven CRC.
uint32_t crc32(const uint8_t *bytes, size_t count) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

uint32_t get_u32_be(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

std::string printable(const std::string &text) {
    std::string out;
    char hex[8];
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += (char)c;
        } else {
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

bool contains(const std::vector<Point> &points, const Point &p) {
    return std::find(points.begin(), points.end(), p) != points.end();
}

bool contains(const std::vector<uint32_t> &values, uint32_t v) {
    return std::find(values.begin(), values.end(), v) != values.end();
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

struct Record {
    int type = 0;
    uint32_t address = 0;
    std::vector<uint8_t> data;
};

// parse_record: one S-record line without its line end; false with the fault in error.
bool parse_record(const std::string &text, Record &rec, std::string &error) {
    static const int ADDRESS_BYTES[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    if (text.size() < 4 || text[0] != 'S' || text[1] < '0' || text[1] > '9' || text[1] == '4') {
        error = "not an S-record (\"" + printable(text.substr(0, 12)) + "\")";
        return false;
    }
    rec.type = text[1] - '0';
    std::vector<uint8_t> bytes;
    for (size_t i = 2; i < text.size(); i += 2) {
        int hi = hex_value(text[i]);
        int lo = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
        if (hi < 0 || lo < 0) {
            error = "bad hex digit at column " + std::to_string(i + 1);
            return false;
        }
        bytes.push_back((uint8_t)(hi << 4 | lo));
    }
    char buf[96];
    size_t address_bytes = ADDRESS_BYTES[rec.type];
    if (bytes[0] != bytes.size() - 1 || bytes.size() < address_bytes + 2) {
        snprintf(buf, sizeof buf, "count 0x%02X but %zu bytes follow", bytes[0], bytes.size() - 1);
        error = buf;
        return false;
    }
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i)
        sum += bytes[i];
    uint8_t expected = (uint8_t)~sum;
    if (bytes.back() != expected) {
        snprintf(buf, sizeof buf, "checksum 0x%02X, expected 0x%02X", bytes.back(), expected);
        error = buf;
        return false;
    }
    rec.address = 0;
    for (size_t i = 0; i < address_bytes; ++i)
        rec.address = rec.address << 8 | bytes[1 + i];
    rec.data.assign(bytes.begin() + 1 + address_bytes, bytes.end() - 1);
    return true;
}

} // namespace

Target::Target(const Options &opts, Line &line)
    : opts_(opts), line_(line), speed_(opts.baud), state_(State::COMMAND),
      noise_(opts.seed, opts.corrupt_rx, opts.drop_rx, opts.corrupt_tx, opts.drop_tx),
      reset_at_(opts.reset_at), vanish_at_(opts.vanish_at) {
    now_ = Clock::now();
    reset_to_start();
    if (opts.faults_from_boot)
        noise_.arm();
}

// ---- Output ----

void Target::send(const std::string &text) {
    transmit((const uint8_t *)text.data(), text.size());
    last_traffic_ = now_;
}

void Target::send_byte(uint8_t b) {
    transmit(&b, 1);
    last_traffic_ = now_;
}

// transmit: every byte we send goes through the noise on its way to the line.
void Target::transmit(const uint8_t *bytes, size_t count) {
    sent_since_rx_ = true;
    for (size_t i = 0; i < count; ++i) {
        uint8_t b = bytes[i];
        if (noise_.pass(Noise::TX, b))
            line_send(line_, &b, 1, speed_, now_);
    }
}

// ---- Command line ----

void Target::reset_to_start() {
    input_.clear();
    if (opts_.waiting) {
        speed_ = opts_.upgrade_baud;
        state_ = State::UPGRADE;
        log_event("waiting for a download at %u bit/s", speed_);
    } else {
        speed_ = opts_.baud;
        state_ = opts_.logins.empty() ? State::COMMAND : State::LOGIN_USER;
        log_event("command line at %u bit/s%s", speed_,
                  opts_.logins.empty() ? "" : ", login required");
    }
}

void Target::show_prompt() {
    switch (state_) {
    case State::LOGIN_USER:
        send(LOGIN_PROMPT);
        break;
    case State::LOGIN_PASS:
        send(PASSWORD_PROMPT);
        break;
    case State::COMMAND:
        send(COMMAND_PROMPT);
        break;
    default:
        send(WAITING_LINE);
        break;
    }
}

void Target::command_byte(uint8_t c) {
    if (c == 0x03) { // Ctrl-C abandons what was typed, a login included
        input_.clear();
        if (state_ == State::LOGIN_PASS)
            state_ = State::LOGIN_USER;
        return;
    }
    if (c == '\r' || c == '\n') {
        send("\r\n");
        std::string text = input_;
        input_.clear();
        command_line(text);
        return;
    }
    if (c == 0x08 || c == 0x7F) {
        if (!input_.empty()) {
            input_.pop_back();
            if (state_ != State::LOGIN_PASS)
                send("\b \b");
        }
        return;
    }
    if (c < 0x20 || c > 0x7E) {
        log_event("command line: control byte 0x%02X ignored", c);
        return;
    }
    if (input_.size() >= MAX_INPUT) {
        log_event("command line: more than %zu characters, 0x%02X dropped", MAX_INPUT, c);
        return;
    }
    input_ += (char)c;
    if (state_ != State::LOGIN_PASS) // passwords are not echoed
        send_byte(c);
}

void Target::command_line(const std::string &text) {
    switch (state_) {
    case State::LOGIN_USER: {
        bool known = false, numeric = !text.empty();
        for (const auto &login : opts_.logins)
            known = known || login.first == text;
        for (char c : text)
            numeric = numeric && c >= '0' && c <= '9';
        if (!text.empty() && !known && !numeric) {
            log_event("login prompt: \"%s\" is not a user number", printable(text).c_str());
            send("Invalid user number\r\n");
        } else if (!text.empty()) {
            // Unknown numeric users get the password prompt too: it gives nothing away.
            user_ = text;
            state_ = State::LOGIN_PASS;
        }
        show_prompt();
        return;
    }
    case State::LOGIN_PASS: {
        bool ok = false;
        for (const auto &login : opts_.logins)
            ok = ok || (login.first == user_ && login.second == text);
        log_event("login as user \"%s\": %s", printable(user_).c_str(),
                  ok ? "accepted" : "wrong user number or password");
        if (!ok)
            send("Login incorrect\r\n");
        state_ = ok ? State::COMMAND : State::LOGIN_USER;
        show_prompt();
        return;
    }
    case State::COMMAND:
        if (text.empty()) {
            show_prompt();
        } else if (text == UPGRADE_COMMAND) {
            log_event("upgrade-mode command accepted: restarting at %u bit/s", opts_.upgrade_baud);
            send("Restarting in upgrade mode...\r\n");
            // The restart line still goes at the old speed; what follows is at the new one.
            speed_ = opts_.upgrade_baud;
            state_ = State::UPGRADE;
        } else if (text.compare(0, strlen(UPGRADE_WORD), UPGRADE_WORD) == 0) {
            log_event("command \"%s\": wrong access code", printable(text).c_str());
            send("ERROR: invalid access code\r\n");
            show_prompt();
        } else if (text == FLASH_MAP_COMMAND) {
            log_event("flash map asked: \"%s\"", printable(opts_.flash_map).c_str());
            send(opts_.flash_map + "\r\n");
            show_prompt();
        } else {
            log_event("command \"%s\": unknown", printable(text).c_str());
            send("Unknown command: " + text + "\r\n");
            show_prompt();
        }
        return;
    default: // upgrade mode
        if (text.empty()) {
            show_prompt();
        } else if (text == DOWNLOAD_COMMAND) {
            start_download();
        } else {
            log_event("upgrade mode: command \"%s\": unknown", printable(text).c_str());
            send("Unknown command: " + text + "\r\n");
            show_prompt();
        }
        return;
    }
}

void Target::start_download() {
    if (!transfer_active_)
        begin_transfer();
    log_event("\"download_firmware\" received");
    state_ = State::SIZE_WAIT;
    respond(Point{Point::START, 0, 0}, [this] {
        send_byte(ACK);
        log_event("download start: ACK, waiting for the sector-size request");
    });
}

// ---- Byte entry ----

void Target::on_byte(const RxByte &rx_in, TimePoint now) {
    now_ = now;
    if (state_ == State::ENDED)
        return;
    RxByte rx = rx_in;
    if (!noise_.pass(Noise::RX, rx.byte))
        return;
    if (transfer_active_ && sent_since_rx_ && rx.arrived >= line_.last_write)
        turnaround_us_.push_back((long)std::chrono::duration_cast<std::chrono::microseconds>(
                                     rx.arrived - line_.last_write)
                                     .count());
    rx_isolated_ = sent_since_rx_ || rx.due - last_rx_at_ >= END_BYTE_PAUSE;
    rx_arrival_ = rx.due;
    last_rx_at_ = rx.due;
    sent_since_rx_ = false;
    if (rx.speed != 0 && rx.speed != speed_) {
        // A UART at another speed sees framing errors; it delivers 0x00 for each. A line
        // without a speed (TCP) has none.
        if (!garbled_)
            log_event("bytes at %u bit/s while answering at %u: framing errors, echoing 0x00",
                      rx.speed, speed_);
        garbled_ = true;
        send_byte(0x00);
        return;
    }
    garbled_ = false;
    last_delivered_ = now;
    last_traffic_ = now;
    switch (state_) {
    case State::LOGIN_USER:
    case State::LOGIN_PASS:
    case State::COMMAND:
    case State::UPGRADE:
        command_byte(rx.byte);
        return;
    default:
        transfer_byte(rx.byte);
        return;
    }
}

void Target::tick(TimePoint now) {
    now_ = now;
    if (deferred_ && now >= deferred_at_) {
        deferred_ = false;
        std::function<void()> action = std::move(deferred_fn_);
        deferred_fn_ = nullptr;
        action();
    }
    if (deferred_ || !transfer_active_ || state_ == State::ENDED)
        return;
    if (!frame_.empty() && now >= frame_deadline()) {
        if (state_ == State::HEADER_WAIT || state_ == State::AFTER_BLOCK || state_ == State::QUIET)
            end_byte(frame_[0]);
        else if (state_ == State::SIZE_FRAME || state_ == State::HEADER_FRAME ||
                 state_ == State::BLOCK || state_ == State::LINE)
            frame_gap();
    }
    if (state_ == State::ENDED || !transfer_active_)
        return;
    if (opts_.stall_timeout_s != 0 &&
        now - last_traffic_ >= std::chrono::seconds(opts_.stall_timeout_s))
        end_transfer(2, "stalled: no traffic either way for " +
                            std::to_string(opts_.stall_timeout_s) + " s" +
                            (quiet_reason_.empty() ? "" : " (" + quiet_reason_ + ")"));
}

TimePoint Target::next_deadline() const {
    if (deferred_)
        return deferred_at_;
    if (!transfer_active_ || state_ == State::ENDED)
        return TimePoint::max();
    TimePoint next = TimePoint::max();
    if (opts_.stall_timeout_s != 0)
        next = last_traffic_ + std::chrono::seconds(opts_.stall_timeout_s);
    if (!frame_.empty())
        next = std::min(next, frame_deadline());
    return next;
}

// frame_deadline: when the bytes held in frame_ are judged: a frame cut short, or an end
// byte that stood alone.
TimePoint Target::frame_deadline() const {
    bool end_byte =
        state_ == State::HEADER_WAIT || state_ == State::AFTER_BLOCK || state_ == State::QUIET;
    return last_delivered_ + (end_byte ? Clock::duration(END_BYTE_QUIET) : FRAME_GAP);
}

// ---- Transfer ----

void Target::begin_transfer() {
    transfer_active_ = true;
    mode_chosen_ = false;
    frame_.clear();
    sector_ = 1;
    block_ = 1;
    blocks_per_sector_ = opts_.sector_size / BLOCK_BYTES;
    sectors_done_ = 0;
    blocks_done_ = 0;
    line_no_ = 1;
    lines_done_ = 0;
    first_line_seen_ = false;
    naks_sent_ = 0;
    frame_errors_ = 0;
    size_requests_ = 0;
    quiet_reason_.clear();
    nak_at_ = opts_.nak_at;
    syn_before_ = opts_.syn_before;
    delay_at_ = opts_.delay_at;
    size_fail_left_ = opts_.size_fail;
    if (opts_.have_range)
        image_.assign(opts_.range_end - opts_.range_start + 1, 0xFF);
    last_traffic_ = now_;
    log_event("transfer begins");
}

void Target::transfer_byte(uint8_t c) {
    switch (state_) {
    case State::SIZE_WAIT:
        if (c == SOH) {
            frame_.assign(1, c);
            state_ = State::SIZE_FRAME;
        } else if (c == '\n' || c == '\r') {
            log_event("line end 0x%02X while waiting for the sector-size request: ignored", c);
        } else if (c >= 0x20 && c <= 0x7E) {
            // A new "download_firmware" after an unusable size answer.
            state_ = State::UPGRADE;
            command_byte(c);
        } else {
            log_event("byte 0x%02X while waiting for the sector-size request: ignored", c);
        }
        return;
    case State::SIZE_FRAME:
        frame_.push_back(c);
        if (frame_.size() == HEADER_BYTES)
            size_request();
        return;
    case State::HEADER_WAIT:
        not_an_end_byte(c);
        if (c == SOH) {
            frame_.assign(1, c);
            state_ = State::HEADER_FRAME;
        } else if (c == EOT || c == NAK) {
            end_byte_candidate(c);
        } else {
            log_event("byte 0x%02X while waiting for the header of sector %u: ignored", c, sector_);
        }
        return;
    case State::HEADER_FRAME:
        frame_.push_back(c);
        if (frame_.size() == HEADER_BYTES)
            sector_header();
        return;
    case State::BLOCK:
        frame_.push_back(c);
        if (frame_.size() == BLOCK_FRAME_BYTES)
            sector_block();
        return;
    case State::AFTER_BLOCK:
        after_block(c);
        return;
    case State::LINE:
        if (c == '\n') {
            line_end();
        } else if (frame_.size() < MAX_LINE) {
            frame_.push_back(c);
        } else if (frame_.size() == MAX_LINE) {
            log_event("line %u: longer than %zu characters, rest dropped", line_no_, MAX_LINE);
            frame_.push_back(c);
        }
        return;
    case State::QUIET:
        if (opts_.verbose)
            log_event("quiet: byte 0x%02X ignored", c);
        if (mode_chosen_ && answered_mode_ == Mode::SECTOR) {
            not_an_end_byte(c);
            if (c == NAK || c == EOT)
                end_byte_candidate(c);
        }
        return;
    default:
        return;
    }
}

void Target::size_request() {
    uint8_t f[HEADER_BYTES];
    std::copy(frame_.begin(), frame_.end(), f);
    frame_.clear();
    uint32_t got = get_u32_be(f + 5), want = crc32(f + 1, 4);
    state_ = State::SIZE_WAIT;
    if (got != want || memcmp(f + 1, "SIZE", 4) != 0) {
        log_event("sector-size request: got %s (CRC 0x%08X, expected 0x%08X): no answer",
                  hex_bytes(f, HEADER_BYTES).c_str(), got, want);
        return;
    }
    ++size_requests_;
    log_event("sector-size request %u received", size_requests_);
    respond(Point{Point::SIZE, 0, 0}, [this] {
        if (!opts_.garbage_before_size.empty()) {
            transmit(opts_.garbage_before_size.data(), opts_.garbage_before_size.size());
            log_event("sent %s before the size answer",
                      hex_bytes(opts_.garbage_before_size.data(), opts_.garbage_before_size.size())
                          .c_str());
        }
        if (size_fail_left_ > 0) {
            --size_fail_left_;
            transmit(UNUSABLE_SIZE, 4);
            log_event("sector-size answer: 00 00 80 00 (unusable on purpose)");
            state_ = State::SIZE_WAIT;
            return;
        }
        mode_chosen_ = true;
        answered_mode_ = opts_.mode;
        switch (opts_.mode) {
        case Mode::SECTOR: {
            uint32_t s = opts_.sector_size;
            uint8_t answer[4] = {(uint8_t)s, (uint8_t)(s >> 8), (uint8_t)(s >> 16),
                                 (uint8_t)(s >> 24)};
            transmit(answer, 4);
            log_event("sector-size answer: %s (%u bytes), sector mode",
                      hex_bytes(answer, 4).c_str(), s);
            state_ = State::HEADER_WAIT;
            break;
        }
        case Mode::LINE:
            send_byte(NAK);
            log_event("sector-size answer: NAK, line mode");
            state_ = State::LINE;
            break;
        case Mode::CANCEL:
            log_event("sector-size answer: CAN \"%s\"", printable(REFUSAL_TEXT).c_str());
            send_byte(CAN);
            send(REFUSAL_TEXT);
            go_quiet("refused the download");
            break;
        }
        last_traffic_ = now_;
    });
}

// frame_error: a damaged header, block or line: NAK it, unless it keeps coming back damaged.
void Target::frame_error(const Point &p, const std::string &what) {
    if (++frame_errors_ > MAX_FRAME_ERRORS) {
        log_event("%s: %s: %u errors in a row: CAN", point_name(p).c_str(), what.c_str(),
                  frame_errors_ - 1);
        cancel("ERR too many transmission errors\r\n");
        return;
    }
    log_event("%s: %s: NAK", point_name(p).c_str(), what.c_str());
    bool line = p.kind == Point::LINE;
    respond(p, [this, line] {
        send_byte(NAK);
        ++naks_sent_;
        if (line)
            send_byte(ACK); // ask for the line again
    });
}

bool Target::take_nak(const Point &p) {
    for (CountedPoint &cp : nak_at_)
        if (cp.point == p && cp.count > 0) {
            --cp.count;
            return true;
        }
    return false;
}

void Target::sector_header() {
    uint8_t f[HEADER_BYTES];
    std::copy(frame_.begin(), frame_.end(), f);
    frame_.clear();
    uint32_t number = get_u32_be(f + 1);
    uint32_t got = get_u32_be(f + 5), want = crc32(f + 1, 4);
    Point p{Point::HEADER, sector_, 0};
    char what[128];
    state_ = State::HEADER_WAIT;
    if (got != want) {
        snprintf(what, sizeof what, "%s: CRC 0x%08X, expected 0x%08X",
                 hex_bytes(f, HEADER_BYTES).c_str(), got, want);
        frame_error(p, what);
        return;
    }
    if (number != sector_) {
        // Intact but out of order: asking again would bring the same header back.
        log_event("sector header for sector %u, expected sector %u: CAN", number, sector_);
        cancel("ERR sector " + std::to_string(number) + " out of order, expected " +
               std::to_string(sector_) + "\r\n");
        return;
    }
    frame_errors_ = 0;
    if (contains(opts_.cancel_at, p)) {
        log_event("sector %u header: CAN (injected)", sector_);
        respond(p, [this] { cancel("ERR sector " + std::to_string(sector_) + " refused\r\n"); });
        return;
    }
    if (take_nak(p)) {
        log_event("sector %u header: NAK (injected)", sector_);
        respond(p, [this] {
            send_byte(NAK);
            ++naks_sent_;
        });
        return;
    }
    respond(p, [this] {
        if (opts_.verbose || sector_ == 1)
            log_event("sector %u header: ACK (addresses 0x%llX-0x%llX)", sector_,
                      (unsigned long long)sector_ * opts_.sector_size,
                      (unsigned long long)sector_ * opts_.sector_size + opts_.sector_size - 1);
        send_byte(ACK);
        block_ = 1;
        state_ = State::BLOCK;
    });
}

void Target::sector_block() {
    uint8_t f[BLOCK_FRAME_BYTES];
    std::copy(frame_.begin(), frame_.end(), f);
    frame_.clear();
    uint32_t got = get_u32_be(f + BLOCK_BYTES), want = crc32(f, BLOCK_BYTES);
    Point p{Point::BLOCK, sector_, block_};
    char what[96];
    if (got != want) {
        snprintf(what, sizeof what, "CRC 0x%08X, expected 0x%08X", got, want);
        frame_error(p, what);
        return;
    }
    frame_errors_ = 0;
    if (contains(opts_.cancel_at, p)) {
        log_event("sector %u block %u: CAN (injected)", sector_, block_);
        respond(p, [this] {
            send_byte(CAN);
            go_quiet("cancelled a block");
        });
        return;
    }
    if (take_nak(p)) {
        log_event("sector %u block %u: NAK (injected)", sector_, block_);
        respond(p, [this] {
            send_byte(NAK);
            ++naks_sent_;
        });
        return;
    }
    uint64_t address = (uint64_t)sector_ * opts_.sector_size + (uint64_t)(block_ - 1) * BLOCK_BYTES;
    store(address, f, BLOCK_BYTES);
    respond(p, [this] {
        if (opts_.verbose)
            log_event("sector %u block %u: ACK", sector_, block_);
        send_byte(ACK);
        ++blocks_done_;
        state_ = State::AFTER_BLOCK;
    });
}

void Target::after_block(uint8_t c) {
    bool last = block_ == blocks_per_sector_;
    not_an_end_byte(c);
    if (c == RS && !last) {
        ++block_;
        state_ = State::BLOCK;
    } else if (c == FS && last) {
        sector_fs();
    } else if (c == RS || c == FS) {
        log_event("sector %u: %s after block %u of %u: NAK", sector_, c == RS ? "RS" : "FS", block_,
                  blocks_per_sector_);
        send_byte(NAK);
        ++naks_sent_;
        go_quiet("refused a sector of the wrong length");
    } else if (c == NAK || c == EOT) {
        end_byte_candidate(c);
    } else {
        log_event("sector %u block %u: byte 0x%02X where %s was expected: ignored", sector_, block_,
                  c, last ? "FS" : "RS");
    }
}

void Target::sector_fs() {
    Point p{Point::FS, sector_, 0};
    if (contains(opts_.no_ack_fs, sector_)) {
        log_event("sector %u FS: no answer (injected)", sector_);
        go_quiet("left an FS unanswered");
        return;
    }
    if (contains(opts_.bad_fs_answer, sector_)) {
        log_event("sector %u FS: NAK (injected)", sector_);
        respond(p, [this] {
            send_byte(NAK);
            ++naks_sent_;
            go_quiet("answered an FS with NAK");
        });
        return;
    }
    respond(p, [this] {
        defer(opts_.program_ms, [this] {
            send_byte(ACK);
            fs_acked_at_ = now_;
            ++sectors_done_;
            log_event("sector %u: %u blocks, programmed: ACK", sector_, blocks_per_sector_);
            ++sector_;
            state_ = State::HEADER_WAIT;
        });
    });
}

void Target::line_end() {
    std::string text(frame_.begin(), frame_.end());
    frame_.clear();
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    if (!first_line_seen_ && text.empty()) {
        log_event("line feed before the first line: ignored");
        return;
    }
    first_line_seen_ = true;
    Point p{Point::LINE, line_no_, 0};
    Record rec;
    std::string error;
    if (text.size() > MAX_LINE) {
        frame_error(p, "longer than " + std::to_string(MAX_LINE) + " characters");
        return;
    }
    if (!text.empty() && !parse_record(text, rec, error)) {
        frame_error(p, error);
        return;
    }
    frame_errors_ = 0;
    if (take_nak(p)) {
        log_event("line %u: NAK (injected)", line_no_);
        respond(p, [this] {
            send_byte(NAK);
            ++naks_sent_;
            send_byte(ACK);
        });
        return;
    }
    if (opts_.verbose)
        log_event("line %u: \"%s\"", line_no_, printable(text).c_str());
    if (!text.empty() && rec.type >= 1 && rec.type <= 3)
        store(rec.address, rec.data.data(), rec.data.size());
    ++lines_done_;
    ++line_no_;
    if (!text.empty() && rec.type >= 7) {
        respond(p, [this, rec] {
            send_byte(EOT);
            end_transfer(0, "complete: S" + std::to_string(rec.type) + " line " +
                                std::to_string(lines_done_) + " answered with EOT");
        });
        return;
    }
    respond(p, [this] { send_byte(ACK); });
}

void Target::frame_gap() {
    size_t n = frame_.size();
    if (state_ == State::SIZE_FRAME) {
        log_event("sector-size request: only %zu bytes (%s), then silence: no answer", n,
                  hex_bytes(frame_.data(), n).c_str());
        frame_.clear();
        state_ = State::SIZE_WAIT;
    } else if (state_ == State::HEADER_FRAME) {
        std::string what = "cut short after " + std::to_string(n) + " of 9 bytes";
        frame_.clear();
        state_ = State::HEADER_WAIT;
        frame_error(Point{Point::HEADER, sector_, 0}, what);
    } else if (state_ == State::BLOCK && n == 1 && frame_[0] == EOT) {
        eot_unacknowledged("EOT while waiting for sector " + std::to_string(sector_) + " block " +
                           std::to_string(block_));
    } else if (state_ == State::BLOCK && n == 1 && frame_[0] == NAK) {
        end_transfer(2, "abandoned: NAK end byte while waiting for sector " +
                            std::to_string(sector_) + " block " + std::to_string(block_));
    } else if (state_ == State::BLOCK) {
        std::string what = "cut short after " + std::to_string(n) + " of 132 bytes";
        frame_.clear();
        frame_error(Point{Point::BLOCK, sector_, block_}, what);
    } else if (state_ == State::LINE) {
        std::string what = "no line end after " + std::to_string(n) + " characters";
        frame_.clear();
        frame_error(Point{Point::LINE, line_no_, 0}, what);
    }
}

// respond: the answer at a point, after any injected silence, delay or SYN there.
void Target::respond(const Point &p, std::function<void()> answer) {
    if (at_point(p))
        return;
    if (contains(opts_.silent_at, p)) {
        log_event("%s: no answer (injected silence)", point_name(p).c_str());
        go_quiet("fell silent at the " + point_name(p));
        return;
    }
    unsigned delay_ms = 0;
    for (auto it = delay_at_.begin(); it != delay_at_.end(); ++it)
        if (it->point == p) {
            delay_ms = it->count;
            delay_at_.erase(it);
            break;
        }
    auto syn_at = std::find(syn_before_.begin(), syn_before_.end(), p);
    bool syn = syn_at != syn_before_.end();
    if (syn)
        syn_before_.erase(syn_at);
    std::string where = point_name(p);
    auto with_syn = [this, syn, answer, where] {
        if (!syn) {
            answer();
            return;
        }
        log_event("%s: SYN, answer in %u ms", where.c_str(), opts_.syn_delay_ms);
        send_byte(SYN);
        defer(opts_.syn_delay_ms, answer);
    };
    if (delay_ms > 0)
        log_event("%s: answer held back %u ms", where.c_str(), delay_ms);
    defer(delay_ms, with_syn);
}

void Target::defer(unsigned ms, std::function<void()> action) {
    if (ms == 0) {
        action();
        return;
    }
    deferred_ = true;
    deferred_at_ = now_ + std::chrono::milliseconds(ms);
    deferred_fn_ = std::move(action);
}

void Target::cancel(const std::string &text) {
    send_byte(CAN);
    send(text);
    go_quiet("cancelled the transfer");
}

void Target::go_quiet(const std::string &why) {
    quiet_reason_ = why;
    frame_.clear();
    state_ = State::QUIET;
}

// log_timing: the downloader's turnaround and our own pacing error, which together make the
// excess of a paced transfer over its wire time.
void Target::log_timing() {
    std::vector<long> sorted;
    sorted.swap(turnaround_us_);
    if (sorted.empty())
        return;
    std::sort(sorted.begin(), sorted.end());
    long total = 0;
    for (long us : sorted)
        total += us;
    long mean_late =
        line_.late_count == 0 ? 0 : (long)(line_.late_total.count() / (long)line_.late_count);
    log_event("timing: downloader turnaround median %ld us, 99th percentile %ld us, total %ld us "
              "over %zu answers; our pacing %ld us late on average, at most %ld us, over %llu "
              "bytes",
              sorted[sorted.size() / 2], sorted[sorted.size() * 99 / 100], total, sorted.size(),
              mean_late, (long)line_.late_max.count(), (unsigned long long)line_.late_count);
}

void Target::close_transfer(int status, const std::string &result) {
    char summary[256];
    if (!mode_chosen_)
        snprintf(summary, sizeof summary, "no mode chosen, sector-size requests %u",
                 size_requests_);
    else if (answered_mode_ == Mode::SECTOR)
        snprintf(summary, sizeof summary,
                 "sector mode (%u-byte sectors), sectors programmed %u, blocks %llu",
                 opts_.sector_size, sectors_done_, (unsigned long long)blocks_done_);
    else if (answered_mode_ == Mode::LINE)
        snprintf(summary, sizeof summary, "line mode, lines accepted %u", lines_done_);
    else
        snprintf(summary, sizeof summary, "download refused");
    log_timing();
    std::string noise = noise_.enabled() ? ", noise: " + noise_.summary() : "";
    log_event("summary: %s, NAKs sent %u%s, result: %s (exit status %d)", summary, naks_sent_,
              noise.c_str(), result.c_str(), status);
    write_output();
    transfer_active_ = false;
    deferred_ = false;
    deferred_fn_ = nullptr;
    frame_.clear();
}

void Target::end_transfer(int status, const std::string &result, bool final) {
    close_transfer(status, result);
    if (opts_.stay && !final) {
        reset_to_start();
        return;
    }
    state_ = State::ENDED;
    ended_ = true;
    exit_status_ = status;
    ended_at_ = now_;
}

// ---- End bytes and injected failures ----

// end_byte_candidate: an EOT or NAK where the downloader's end byte may come; it counts once
// the line has stayed quiet after it (tick).
void Target::end_byte_candidate(uint8_t c) {
    if (!rx_isolated_) {
        log_event("byte 0x%02X amid other bytes %s: not an end byte, ignored", c,
                  state_ == State::QUIET ? "while quiet" : "between frames");
        return;
    }
    frame_.assign(1, c);
    end_byte_arrival_ = rx_arrival_;
}

// not_an_end_byte: a byte after a candidate end byte shows it was a stray byte.
void Target::not_an_end_byte(uint8_t c) {
    if (frame_.empty())
        return;
    log_event("byte 0x%02X followed by 0x%02X: not an end byte, ignored", frame_[0], c);
    frame_.clear();
}

void Target::end_byte(uint8_t c) {
    frame_.clear();
    if (state_ == State::HEADER_WAIT) {
        std::string sectors = std::to_string(sectors_done_);
        if (c == NAK)
            end_transfer(2, "abandoned: NAK end byte after " + sectors + " sectors");
        else if (sectors_done_ == 0)
            eot_unacknowledged("EOT before any sector was transferred");
        else if (end_byte_arrival_ < fs_acked_at_)
            eot_unacknowledged("EOT sent before the ACK to sector " + sectors + "'s FS");
        else
            end_transfer(0, "complete: EOT after sector " + sectors);
        return;
    }
    std::string where = state_ == State::AFTER_BLOCK
                            ? "after sector " + std::to_string(sector_) + " block " +
                                  std::to_string(block_) + " of " +
                                  std::to_string(blocks_per_sector_)
                            : "after the target " + quiet_reason_;
    if (c == EOT)
        eot_unacknowledged("EOT " + where);
    else
        end_transfer(2, "abandoned: NAK end byte " + where);
}

// eot_unacknowledged: the downloader claimed a complete image the target never confirmed.
void Target::eot_unacknowledged(const std::string &why) {
    log_event("EOT for an image not fully acknowledged: %s", why.c_str());
    end_transfer(5, "EOT without every sector's FS acknowledged: " + why);
}

// at_point: the noise starts, the target resets or the line vanishes here; true when the
// answer is not to be given.
bool Target::at_point(const Point &p) {
    if (!opts_.faults_from_boot && p == opts_.faults_from)
        noise_.arm();
    auto take = [&p](std::vector<Point> &points) {
        auto it = std::find(points.begin(), points.end(), p);
        if (it == points.end())
            return false;
        points.erase(it);
        return true;
    };
    if (take(vanish_at_)) {
        vanish(p);
        return true;
    }
    if (take(reset_at_)) {
        watchdog_reset(p);
        return true;
    }
    return false;
}

// watchdog_reset: everything received and not yet sent is lost; the controller starts afresh
// at its power-on speed and says so.
void Target::watchdog_reset(const Point &p) {
    log_event("%s: watchdog reset (injected): the transfer is forgotten", point_name(p).c_str());
    close_transfer(2, "target reset at the " + point_name(p));
    line_.rx.clear();
    line_.tx.clear();
    garbled_ = false;
    reset_to_start();
    send(BOOT_BANNER);
    show_prompt();
}

// vanish: the line goes away under the downloader, as a pulled USB adapter's does: every
// descriptor of the pseudo-terminal is closed, so its side hangs up.
void Target::vanish(const Point &p) {
    log_event("%s: the line vanishes (injected): pseudo-terminal closed", point_name(p).c_str());
    close_transfer(4, "line vanished at the " + point_name(p));
    line_.rx.clear();
    line_.tx.clear();
    line_close(line_);
    state_ = State::ENDED;
    ended_ = true;
    exit_status_ = 4;
    ended_at_ = now_;
}

void Target::abort_run(const std::string &why, TimePoint now) {
    now_ = now;
    if (transfer_active_ && state_ != State::ENDED) {
        end_transfer(2, why, true);
    } else {
        log_event("%s", why.c_str());
    }
}

void Target::store(uint64_t address, const uint8_t *data, size_t count) {
    if (!opts_.have_range)
        return;
    for (size_t i = 0; i < count; ++i) {
        uint64_t a = address + i;
        if (a >= opts_.range_start && a <= opts_.range_end)
            image_[a - opts_.range_start] = data[i];
    }
}

void Target::write_output() {
    if (opts_.output.empty())
        return;
    FILE *f = fopen(opts_.output.c_str(), "wb");
    bool ok = f != nullptr && fwrite(image_.data(), 1, image_.size(), f) == image_.size();
    if (f != nullptr && fclose(f) != 0)
        ok = false;
    if (ok)
        log_event("wrote 0x%llX-0x%llX (%zu bytes) to %s", (unsigned long long)opts_.range_start,
                  (unsigned long long)opts_.range_end, image_.size(), opts_.output.c_str());
    else
        log_event("could not write %s", opts_.output.c_str());
}
