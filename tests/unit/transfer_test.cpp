// The CRC and its self-test, the percentage counter, the sector-size exchange byte for byte, and
// the line-mode sender.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "image/srecord.h"
#include "serial/serial.h"
#include "support/unit.h"
#include "transfer/crc32.h"
#include "transfer/progress.h"
#include "transfer/transfer.h"

// The unit tests link with --wrap=malloc and --wrap=free: the next failing_mallocs calls of the
// core fail, and every one of refused_size bytes; held_blocks counts what is not given back.
int failing_mallocs = 0;
size_t refused_size = 0;
long held_blocks = 0;
extern "C" void *__real_malloc(size_t size);
extern "C" void __real_free(void *block);
extern "C" void *__wrap_malloc(size_t size) {
    if ((size != 0 && size == refused_size) || (failing_mallocs > 0 && failing_mallocs--))
        return nullptr;
    void *block = __real_malloc(size);
    return held_blocks += block != nullptr, block;
}
extern "C" void __wrap_free(void *block) {
    held_blocks -= block != nullptr, __real_free(block);
}

namespace {

const std::string NOT_TRANSMITTED = "\r\nERROR - Could not transmit data.\r\n";

TEST(Crc, ValuesAndSelfTest) {
    const std::pair<std::string, uint32_t> rows[] = {
        {"123456789", 0xCBF43926}, // the check value
        {"", 0},
        {"SIZE", 0xC155C9DE},
        {std::string("\0\0\0\1", 4), 0x5643EF8A}, // sector 1's header
        {std::string(128, '\xFF'), 0x652D544C},
        {std::string(128, '\0'), 0xC2A8FA9D},
    };
    for (const auto &row : rows)
        EXPECT_EQ(block_crc((const unsigned char *)row.first.data(), row.first.size()), row.second);
    // The self-test's buffer comes from the heap, not necessarily zeroed, or not at all.
    test_console::reset();
    free(malloc(1024));
    EXPECT_TRUE(crc_self_test());
    EXPECT_EQ(test_console::output(), "");
    failing_mallocs = 1;
    EXPECT_FALSE(crc_self_test());
    EXPECT_EQ(test_console::output(), "\r\nERROR:  OUT OF MEMORY\r\n");
}

// The stored table, found in the program's read-only data by the published entries (made here
// from the polynomial, at run time), with one bit flipped.
// The program's read-only pages, the sanitizer's red zones between its constants included.
__attribute__((no_sanitize_address)) uint32_t *find_table(const uint32_t *from, const uint32_t *to,
                                                          const uint32_t *table) {
    for (const uint32_t *p = from; p + 256 <= to; ++p) {
        unsigned n = 0;
        while (n < 256 && p[n] == table[n])
            ++n;
        if (n == 256)
            return const_cast<uint32_t *>(p);
    }
    return nullptr;
}

TEST(Crc, DamagedTable) {
    volatile uint32_t polynomial = 0xEDB88320;
    uint32_t published[256], *stored = nullptr;
    for (uint32_t n = 0, k; n < 256; ++n)
        for (published[n] = n, k = 0; k < 8; ++k)
            published[n] = published[n] >> 1 ^ (published[n] & 1 ? polynomial : 0);
    std::ifstream maps("/proc/self/maps");
    unsigned long from, to;
    for (std::string map; !stored && std::getline(maps, map);)
        if (map.find(" r--p ") != std::string::npos &&
            map.find("unit_tests") != std::string::npos &&
            sscanf(map.c_str(), "%lx-%lx", &from, &to) == 2)
            stored = find_table((const uint32_t *)from, (const uint32_t *)to, published);
    ASSERT_NE(stored, nullptr);
    void *page = (void *)((uintptr_t)&stored[200] & ~(uintptr_t)4095);
    ASSERT_EQ(mprotect(page, 4096, PROT_READ | PROT_WRITE), 0);
    stored[200] ^= 1;
    test_console::reset();
    EXPECT_FALSE(crc_self_test());
    stored[200] ^= 1;
    mprotect(page, 4096, PROT_READ);
    EXPECT_EQ(test_console::output(), "\r\nINTERNAL ERROR IN CRC TABLE\r\n");
}

TEST(Progress, Thresholds) {
    // Steps bytes=shown, the shown percentage empty when none is; a "b" first sets back.
    const std::pair<uint32_t, const char *> rows[] = {
        {200, "1= 2=1 3= 4=2 150=75 151= 152=76 200=100 250=100 b100=50 251= 252=100"},
        {101, "1= 2=1 b1=0"}, // 1 % of 101 bytes is 2
        {1000, "995=99"},
        {1, "1=100"},
        {0, "5="},
    };
    for (const auto &row : rows) {
        test_console::reset();
        progress_counter progress;
        start_progress(&progress, row.first);
        for (const std::string &step : words(row.second)) {
            (step[0] == 'b' ? set_progress_back
                            : update_progress)(&progress, std::stoul(step.substr(step[0] == 'b')));
            std::string out = test_console::take_output();
            std::string shown = out.empty() ? "" : std::to_string(atoi(&out[out.size() - 17]));
            EXPECT_EQ(step.substr(0, step.find('=') + 1) + shown, step) << row.first;
        }
    }
}

TEST(SectorSize, Answers) {
    const std::string REQUEST("\x01SIZE\xC1\x55\xC9\xDE", 9);
    const std::string NO_WRITE =
        NOT_TRANSMITTED + "\r\nCom write timeout during sector size request\r\n";
    // Answers for far_says from the request on, each alone; the size stored (1: untouched); whether
    // a line feed nudged the target.
    const std::tuple<const char *, bool, uint32_t, std::string, bool, uint64_t> rows[] = {
        // The first byte within 1 s, or 10 s after a line feed; each further one within 2 s.
        {"z", true, 32768, "", false, 0},
        {"Z", true, 131072, "", false, 0},
        {"N", true, 0, "", false, 2000},
        {"<0080>+<00>@1900+<00>@3800", true, 32768, "", false, 3800},
        {"<0080>+<0000>@2100 <0080>", false, 1, "", false, 2000},
        {"z@900", true, 32768, "", false, 900},
        {"N@1500", true, 0, "", true, 3500}, // after the nudge
        {"z@10900", true, 32768, "", true, 10900},
        {"z@11100", false, 1, "\r\nERROR - Receiver timeout.\r\n", true, 11000},
        // Other sizes: 16384, 32767, 65536, 262144, 0x80008000, 32768 and 131072 big-endian.
        {"<00400000> <FF7F0000> <00000100> <00000400> <00800080> <00008000> <00020000>", false, 1,
         "", false, 2000},
        // The first CAN or NAK decides; a CAN's reason is shown, and drained to 2 s of silence.
        {"xxN", true, 0, "", false, 2000},
        {"xCNy", false, 1, "y", false, 2000},
        {"C", false, 1, "", false, 2000},
        {"Cno", false, 1, "no", false, 2000},
        {"Cno.+more@1500", false, 1, "no.more", false, 3500},
        {"Cno.+more@2100", false, 1, "no.", false, 2000},
        {"<00008000>+N@1900", true, 0, "", false, 1900},
        {"<00008000>+N@2100", false, 1, "", false, 2000},
        {"<00008000>+C@1900+why@3000", false, 1, "why", false, 5000},
        // Chatter is read on, or drained, for 4096 bytes at most.
        {"<00008000>x4095N", true, 0, "", false, 0},
        {"<00008000>x4096N", false, 1, "", false, 0},
        {"Cerrx4097", false, 1, "err" + std::string(4096, 'x'), false, 0},
        // Neither the request nor the nudge can be written (!r: writes fail after r bytes).
        {"!0", false, 1, NO_WRITE, false, 0},
        {"!9", false, 1, NO_WRITE, false, 1000},
    };
    for (const auto &[answers, ok, expected_size, shown_text, nudged, end_ms] : rows) {
        for (const std::string &answer : words(answers)) {
            fresh_start();
            ASSERT_TRUE(open_port(1));
            far_says(answer[0] == '!' ? answer : ""); // writes failing
            size_t room = answer[0] == '!' ? wire::writes_left : std::string::npos;
            wire::on_wait = [&answer, &REQUEST]() {
                if (wire::written == REQUEST && answer[0] != '!')
                    far_says(answer);
            };
            uint32_t size = 1;
            EXPECT_EQ(request_sector_size(&size), ok) << answer;
            EXPECT_EQ(size, expected_size) << answer;
            EXPECT_EQ(test_console::output(), shown_text) << answer;
            EXPECT_EQ(wire::now_ms, end_ms) << answer;
            EXPECT_EQ(wire::written, (REQUEST + (nudged ? "\n" : "")).substr(0, room)) << answer;
        }
    }
}

TEST(LineMode, Lines) {
    // What the calls of send_next_line send up to the first that fails, and where they leave.
    const std::string TOO_LONG = "\r\nERROR - Line in file is too long.\r\n";
    const std::string LONGEST = "S1" + std::string(80, '0') + "\n";
    const std::string NOT_DOWNLOADED =
        NOT_TRANSMITTED + "\r\nERROR - Could not download record to system.\r\n";
    const std::tuple<std::string, std::string, std::string, bool, bool> rows[] = {
        // Terminators go as S8; a blank line, one that is no record and a CR go as they are.
        {"S00600004844521B\r\nS9030000FC\nS7050000000FA\n\nX9\nS804000000FB",
         "S00600004844521B\r\nS8030000FC\nS8050000000FA\n\nX9\n", TOO_LONG, false, true},
        {LONGEST + "S1" + std::string(81, '0') + "\n", LONGEST, TOO_LONG, false, true},
        {std::string("\0S1\n", 4), "", TOO_LONG, false, true},
        {"S804000000FB\n", "S804000000FB\n", "", true, true},
        // Failures to read the file (a directory, or a stream that has failed before its end:
        // "!") and to write the line.
        {"/", "", "\r\nERROR - Could not read next line in file.\r\n", false, true},
        {"!S1\n", "S1\n", "\r\nERROR - Could not read next line in file.\r\n", false, true},
        {"S1\n", "", NOT_DOWNLOADED, false, false},
    };
    for (const auto &[file, sent, shown, at_end, writable] : rows) {
        fresh_start();
        ASSERT_TRUE(open_port(1));
        wire::writes_left = writable ? -1 : 0;
        use_image(file.substr(file[0] == '!'));
        if (file == "/")
            fclose(image_file), image_file = fopen("/", "rb");
        if (file[0] == '!')
            fputc(0, image_file); // a read-only stream: an error
        size_t calls = 0;
        while (send_next_line())
            ++calls;
        EXPECT_EQ(calls, count_of(sent, "\n")) << file;
        EXPECT_EQ(wire::written, sent) << file;
        EXPECT_EQ(test_console::output(), shown) << file;
        EXPECT_EQ(end_of_file, at_end) << file;
        EXPECT_EQ(line_bytes_sent, sent.size()) << file;
        EXPECT_FALSE(at_end && send_next_line()) << file; // the end stays
    }

    // A rejected line goes again a character at a time, 55 ms apart, not counted again.
    fresh_start();
    ASSERT_TRUE(open_port(1));
    use_image("S1\nS804000000FB\n");
    ASSERT_TRUE(send_next_line() && send_next_line());
    EXPECT_TRUE(resend_line());
    EXPECT_EQ(wire::written, "S1\nS804000000FB\nS804000000FB\n");
    EXPECT_EQ(wire::written_at.at(17) - wire::written_at.at(16), 55u);
    EXPECT_EQ(test_console::output(), "Resending Record 2\r\n");
    EXPECT_EQ(line_bytes_sent, 16u);
    wire::writes_left = 1;
    EXPECT_FALSE(resend_line());
    EXPECT_EQ(test_console::take_output(),
              "Resending Record 2\r\nResending Record 2\r\n" + NOT_DOWNLOADED);
}

} // namespace
