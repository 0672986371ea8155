// The serial operations, the speed search, target lines and the session up to the
// download-waiting line, over the wire on a virtual clock.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "serial/serial.h"
#include "session/session.h"
#include "support/unit.h"

namespace {

const std::string WAITING_LINE = "==> Firmware corrupted: download system software\r\n";
const std::string UPGRADE = "_UPGRADE_SYSTEM_CODE_ 0x5A3C1E07 0x6B2F4D19 0x3E7A0C55 0x1D6E4B28\r";
const std::string WAKE_UP = "\x03\x03\x03\r\r", PATTERN = "1234abcd\n";
const std::string FOUND = "\r\nCommunication established.\r\n\n";
const std::string SHOWN_WAITING = "==> Firmware : download system software\r\n";

// A fresh start on an open port whose far end echoes every byte, `from` as `to`, delay_ms late.
void echoing(int from = -1, std::string to = "", uint64_t delay_ms = 0) {
    fresh_start();
    ASSERT_TRUE(open_port(1));
    wire::on_write = [=](unsigned char c) {
        wire::says(c == from ? to : std::string(1, c), delay_ms);
    };
}

TEST(Session, ReceiveAndCommandEcho) {
    const std::tuple<uint64_t, uint64_t, unsigned, bool> waits[] = {
        {2500, 2500, 3, true},  {3500, 3000, 3, false},  {900, 900, 0, true},
        {1100, 1000, 0, false}, {60000, 5000, 5, false},
    };
    unsigned char byte = 0x55;
    for (const auto &[delay_ms, waited_ms, attempts, received] : waits) {
        echoing();
        wire::says("A", delay_ms);
        EXPECT_EQ(receive_byte(&byte, attempts, ECHO_OFF), received) << delay_ms;
        EXPECT_EQ(wire::now_ms, waited_ms) << delay_ms;
        // A failed wait leaves 0x00 behind, never a stale byte.
        EXPECT_EQ(byte, received ? 'A' : 0x00) << delay_ms;
    }

    // Only printable characters must come back unchanged, each within 5 s.
    const std::tuple<const char *, int, const char *, bool, uint64_t, uint64_t> commands[] = {
        {"ab\n", '\n', "\r", true, 0, 0},  {"ab", 'b', "B", false, 0, 0},
        {"ab", 'b', "", false, 0, 5000},   {"xy", -1, "", true, 4900, 9800},
        {"xy", -1, "", false, 5100, 5000},
    };
    for (const auto &[text, from, to, accepted, delay_ms, end_ms] : commands) {
        echoing(from, to, delay_ms);
        EXPECT_EQ(send_command(text, delay_ms ? ECHO_OFF : ECHO_ON), accepted) << text;
        EXPECT_EQ(wire::now_ms, end_ms) << text << delay_ms;
    }

    // Shown: printable ASCII and white space only, and only when echo is exactly ECHO_ON.
    echoing();
    wire::says("\x08\t\r\x0e\x1f ~\x7f\x80"
               "aa");
    for (int i = 0; i < 11; ++i)
        receive_byte(&byte, 1, i < 9 ? ECHO_ON : i == 9 ? ECHO_OFF : ECHO_ON + 1);
    EXPECT_EQ(test_console::output(), "\t\r ~");
}

TEST(Session, SpeedSearch) {
    // The speeds in turn (target 0: nobody answers); a port that cannot be opened ends the search
    // at once.
    const std::vector<uint32_t> SPEEDS = {57600, 38400, 19200, 9600, 4800, 2400, 1200};
    const std::tuple<unsigned, unsigned, unsigned> rows[] = {
        {57600, 0, 1}, {9600, 0, 4}, {0, 0, 7}, {57600, 1, 1}};
    for (const auto &[target_speed, failing_port, tried] : rows) {
        fresh_start();
        if (target_speed != 0)
            wire::attach_target({"--baud", std::to_string(target_speed)});
        wire::failing_port = failing_port;
        bool found = target_speed != 0 && failing_port == 0;
        std::string shown = "\r\n\nAttempting Autobaud . . . ";
        for (size_t i = 0; i < tried && failing_port == 0; ++i)
            shown += std::to_string(SPEEDS[i]) + " ";
        EXPECT_EQ(autobaud(), found) << target_speed;
        EXPECT_EQ(wire::opens, std::vector<uint32_t>(SPEEDS.begin(), SPEEDS.begin() + tried));
        EXPECT_EQ(test_console::output(), shown + (found ? FOUND : ""));
        EXPECT_EQ(wire::line_open, found);
    }
    // Wake-up: three ETX 55 ms apart, two carriage returns, the pattern after 2 s of silence.
    fresh_start();
    wire::attach_target({});
    ASSERT_TRUE(autobaud());
    ASSERT_EQ(wire::written.substr(0, 14), WAKE_UP + PATTERN);
    EXPECT_EQ(wire::written_at.at(1), 55u);
    EXPECT_EQ(wire::written_at.at(2), 110u);
    EXPECT_EQ(wire::written_at.at(5), 2165u);

    // Chatter is drained until 2 s of silence, or cut off: after the wake-up at 600 bytes (what
    // came before the carriage returns is purged), after the pattern's echo at 300.
    const struct {
        std::string when; // the bytes written that the chatter answers
        size_t chatter;
        // late_byte: 1.9 s after the chatter, the silence must last the full 2 s; left: a byte of
        // the chatter still unread after the search.
        bool late_byte, first_speed;
        uint64_t pattern_ms;
        bool left;
    } drains[] = {
        {WAKE_UP, 598, true, true, 4065, false},
        {WAKE_UP, 600, false, true, 165, false},
        {WAKE_UP, 650, false, false, 0, false},
        {"\x03\x03\x03", 650, false, true, 2165, false},
        {WAKE_UP + PATTERN, 300, false, true, 2165, false},
        {WAKE_UP + PATTERN, 301, false, true, 2165, true},
    };
    for (const auto &d : drains) {
        fresh_start();
        wire::on_write = [&d](unsigned char c) {
            if (wire::written == d.when) {
                wire::says(std::string(c == '\n', '\n') + std::string(d.chatter, 'x'));
                wire::says(d.late_byte ? "!" : "", 1900);
            } else if (c != '\r' && c != 0x03) {
                wire::says(std::string(1, c));
            }
        };
        ASSERT_TRUE(autobaud());
        EXPECT_EQ(wire::opens.size() == 1, d.first_speed) << d.when << d.chatter;
        unsigned char byte;
        EXPECT_TRUE(!d.first_speed || (wire::written_at.at(5) == d.pattern_ms &&
                                       receive_byte(&byte, 1, ECHO_OFF) == d.left))
            << d.when << d.chatter;
    }
}

TEST(Session, TargetLines) {
    echoing();
    // The word is held back from the echo while the line could be the waiting line.
    wire::says("\r\n\r\n" + WAITING_LINE + "==> Firmware corrXYZ\r\n");
    read_target_line(true, WAITING_LINE.c_str(), "corrupted");
    EXPECT_EQ(target_line, WAITING_LINE);
    read_target_line(true, WAITING_LINE.c_str(), "corrupted");
    EXPECT_EQ(test_console::take_output(), "\r\n\r\n" + SHOWN_WAITING + "==> Firmware XYZ\r\n");

    // A prompt ends with 2 s of silence, a long line after 82 characters, nothing after 5 s.
    wire::says("User# > ");
    read_target_line(false, 0, 0);
    EXPECT_STREQ(target_line, "User# > ");
    EXPECT_EQ(wire::now_ms, 2000u);
    wire::says(std::string(90, 'a') + "\r\n");
    read_target_line(false, 0, 0);
    EXPECT_EQ(std::string(target_line), std::string(82, 'a'));
    read_target_line(false, 0, 0);
    EXPECT_EQ(std::string(target_line), std::string(8, 'a') + "\r\n");
    read_target_line(true, 0, 0);
    EXPECT_STREQ(target_line, "");
    EXPECT_EQ(wire::now_ms, 7000u);
    EXPECT_EQ(test_console::output(), "");

    // Blank lines end a read after 4096 characters, the line that completes there included.
    for (size_t blank : {4094, 4096}) {
        wire::says(std::string(blank, '\n') + "a\n");
        read_target_line(false, 0, 0);
        EXPECT_STREQ(target_line, blank == 4094 ? "a\n" : "") << blank;
        wire::drop_arrived();
    }
}

TEST(Session, UpToTheWaitingLine) {
    // open_session against the simulated target: what was shown in this order (parts split at
    // '|'), upgrade commands sent, the speed of each open.
    const std::string SEARCH = "\r\n\nAttempting Autobaud . . . ";
    const std::string LOGIN =
        "\a\r\n\nMUST LOGIN - ENTER USER NUMBER:  42\r\n\aENTER PASSWORD:  ******\r\n";
    using row = std::tuple<const char *, const char *, bool, std::string, unsigned, const char *>;
    const row rows[] = {
        {"--waiting", "", true, SHOWN_WAITING, 0, "57600"},
        {"--upgrade-baud 19200", "", true,
         " > |" + UPGRADE + SEARCH + "57600 |57600 38400 19200 " + FOUND + "\r\n\r\n" +
             SHOWN_WAITING,
         1, "57600 57600 38400 19200"},
        // The target's lines after the user number are read unshown, its answer to the password
        // shown.
        {"--login 42:secret", "42\rsecret\r", true, LOGIN + "\r\nkestrel > " + UPGRADE, 1,
         "57600 57600"},
        {"--login 42:secret", "42\rsesame\r", false, LOGIN + "|\r\n\nLogin failed.\r\n", 0,
         "57600"},
    };
    for (const auto &[target, keys, reached, shown, upgrades, speeds] : rows) {
        fresh_start();
        wire::attach_target(words(target));
        test_console::keys(keys);
        SCOPED_TRACE(std::string(target) + " " + keys);
        EXPECT_EQ(open_session(), reached) << wire::target_log;
        std::string missing, opens;
        EXPECT_TRUE(shown_in_order(words(shown, '|'), &missing))
            << missing << " not shown in order in\n"
            << test_console::output();
        EXPECT_EQ(count_of(wire::written, UPGRADE), upgrades);
        EXPECT_EQ(count_of(test_console::output(), "MUST LOGIN"), keys[0] ? 1u : 0u);
        for (uint32_t speed : wire::opens)
            opens += (opens.empty() ? "" : " ") + std::to_string(speed);
        EXPECT_EQ(opens, speeds);
    }
}

// A command line that echoes the speed search and the session's first line feed, answers that
// line feed with `first` and each carriage return typed after it with the next of `typed`.
void command_line(std::string first, std::vector<std::string> typed) {
    auto answered = std::make_shared<size_t>(0);
    wire::on_write = [first, typed, answered](unsigned char c) {
        size_t sent = wire::written.size();
        if (sent <= 14 && c != 0x03 && c != '\r')
            wire::says(std::string(1, c));
        else if (sent == 15)
            wire::says("\n" + first);
        else if (sent > 15 && c == '\r' && *answered < typed.size())
            wire::says(typed[(*answered)++]);
    };
}

TEST(Session, PromptSearch) {
    // Three lines are looked at for the command prompt before the login, five after it: the
    // command line's first answer, its answers to the user number and password (split at '|').
    const std::tuple<const char *, const char *, bool> rows[] = {
        {"a\r\nb\r\nkestrel > ", "", false},
        {"a\r\nb\r\nc\r\nkestrel > ", "", true},
        {"User# > ", "1\r\nPassword: |1\r\n2\r\n3\r\n4\r\nkestrel > ", false},
        {"User# > ", "1\r\nPassword: |1\r\n2\r\n3\r\n4\r\n5\r\nkestrel > ", true},
    };
    for (const auto &[first, typed, late] : rows) {
        fresh_start();
        command_line(first, words(typed, '|'));
        test_console::keys(typed[0] ? "1\rpw\r" : "");
        open_session();
        // The upgrade command starts when the prompt was found in time, shown; else the next of
        // four attempts begins.
        SCOPED_TRACE(std::string(first) + typed);
        EXPECT_EQ(wire::written.find('_') != std::string::npos, !late);
        EXPECT_EQ(count_of(wire::written.substr(14), "\n"), late ? 4u : 1u);
        EXPECT_EQ(count_of(test_console::output(), "kestrel > "), late ? 0u : 1u);
    }
}

// Echoes what the program types and shows a prompt at each line feed of the session. After the
// upgrade command it is silent, or goes on the same, or restarts: it echoes the speed search,
// says a line of its own 3 s after the pattern, and answers a line feed after that line with
// the waiting line.
enum after_upgrade { NOBODY, SILENT, SAME, RESTART };
void prompting_target(after_upgrade after) {
    fresh_start();
    if (after == NOBODY)
        return;
    auto ready_ms = std::make_shared<uint64_t>(UINT64_MAX);
    wire::on_write = [after, ready_ms](unsigned char c) {
        size_t upgrade = wire::written.find(UPGRADE);
        bool upgraded = upgrade != std::string::npos;
        if (c == 0x03 || (c == '\r' && !upgraded) || (upgraded && after == SILENT))
            return;
        if (!upgraded || after == SAME)
            wire::says(std::string(1, c) +
                       (c == '\n' && wire::written.size() > 14 ? "kestrel > " : ""));
        else if (c != '\n' || wire::written.find(PATTERN, upgrade) == std::string::npos)
            wire::says(c == '\r' ? "" : std::string(1, c));
        else if (*ready_ms == UINT64_MAX)
            wire::says("\n"), wire::says("Ready\r\n", 3000), *ready_ms = wire::now_ms + 3000;
        else if (wire::now_ms >= *ready_ms)
            wire::says(WAITING_LINE);
    };
}

TEST(Session, Failures) {
    // Nobody answers; the target goes quiet after the upgrade command; after its restart its first
    // line is read unshown before the line feed goes; it never shows the waiting line: four
    // attempts, then false, no message.
    const std::tuple<after_upgrade, bool, const char *, const char *, unsigned> rows[] = {
        {NOBODY, false, "\r\nCould not establish communications.\r\n", "", 0},
        {SILENT, false, "\r\nCould not re-establish communications.\r\n", "", 1},
        {RESTART, true, "", "Ready", 1},
        {SAME, false, "", "Could not", 4},
    };
    for (const auto &[after, reached, tail, absent, upgrades] : rows) {
        prompting_target(after);
        EXPECT_EQ(open_session(), reached) << after;
        const std::string &out = test_console::output();
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), strlen(tail))), tail);
        EXPECT_TRUE(!absent[0] || out.find(absent) == std::string::npos) << after;
        EXPECT_EQ(count_of(wire::written, UPGRADE), upgrades) << after;
    }
}

} // namespace
