// The download driver's control-byte loop over the scripted link, a target already waiting.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "fake_target.h"
#include "image/srecord.h"
#include "serial/serial.h"
#include "session/driver.h"
#include "session/session.h"
#include "support/test_console.h"
#include "support/test_link.h"
#include "transfer/transfer.h"

namespace {

const std::string ACK_BYTE = "\x06", NAK_BYTE = "\x15", EOT_BYTE = "\x04", SYN_BYTE = "\x16";
const std::string SIZE_REQUEST = "\x01SIZE\xC1\x55\xC9\xDE";

// A 200-byte file of four 50-byte lines (49 characters and LF).
std::string four_lines() {
    std::string file;
    for (char c : {'1', '2', '3', '4'})
        file += "S1" + std::string(47, c) + "\n";
    return file;
}

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test_link::reset();
        test_console::reset();
        port_number = 1;
        line_bytes_sent = 0;
        record_number = 0;
        end_of_file = false;
        sector_bytes_sent = 0;
        sector_next_percent = 1;
        sector_next_threshold = 0;
        fake_target::settings waiting;
        waiting.waiting = true;
        fake_target::start(waiting);
        received_.clear();
        lines_ = 0;
    }
    void TearDown() override {
        close_port();
        if (image_file)
            fclose(image_file);
        image_file = nullptr;
        unlink(path_.c_str());
    }

    void use_image(const std::string &content) {
        char name[] = "/tmp/kestrel-driver-XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = name;
        std::ofstream(path_, std::ios::binary) << content;
        image_file = fopen(path_.c_str(), "rb");
        ASSERT_NE(image_file, nullptr);
    }

    // A line-mode target: NAK to the size request, then `reply` decides the answer to each
    // line received (numbered from 1).
    void line_mode_target(std::function<std::string(unsigned)> reply) {
        fake_target::on_transfer_byte([this, reply](unsigned char c) {
            received_ += static_cast<char>(c);
            if (received_ == SIZE_REQUEST) {
                test_link::target_says(NAK_BYTE);
                received_.clear();
            } else if (c == '\n') {
                ++lines_;
                test_link::target_says(reply(lines_));
                received_.clear();
            }
        });
    }

    std::string output() { return test_console::output(); }
    bool shows(const std::string &text) { return output().find(text) != std::string::npos; }
    bool ends_with(const std::string &text) {
        return output().size() >= text.size() &&
               output().compare(output().size() - text.size(), text.size(), text) == 0;
    }

    std::string path_;
    std::string received_;
    unsigned lines_ = 0;
};

TEST_F(DriverTest, LineModeRunsToEotWithItsPercentages) {
    use_image(four_lines());
    line_mode_target([](unsigned n) { return n < 4 ? ACK_BYTE : ACK_BYTE + EOT_BYTE; });
    ASSERT_TRUE(run_download("image.s19", '1'));
    EXPECT_EQ(lines_, 4u);
    EXPECT_TRUE(shows("\r\n\nDownloading image.s19 --\r\nCom port: 1, Baud Rate: 57600 . . ."
                      "\r\n\n"));
    EXPECT_TRUE(shows("\r\n  0% complete... \r 25% complete... \r 50% complete... "
                      "\r 75% complete... \r100% complete.   \r100% complete.   "
                      "\r\n\r\n\nDownload Complete.\r\n\r\n"))
        << output();
}

TEST_F(DriverTest, NaksResendTheLineUntilTheFourthEndsTheDownload) {
    use_image(four_lines());
    line_mode_target([](unsigned n) { return n <= 4 ? NAK_BYTE + ACK_BYTE : NAK_BYTE; });
    EXPECT_FALSE(run_download("image.s19", '1'));
    EXPECT_EQ(lines_, 4u); // sent once, resent three times
    EXPECT_TRUE(shows("Resending Record 1\r\n"));
    EXPECT_EQ(record_number, 1u);
    EXPECT_TRUE(ends_with("\r\nERROR - Exceeded maximum download attempts for record.\r\n"));
}

TEST_F(DriverTest, SynStartsTheNakCountAgainAndLengthensTheWait) {
    use_image(four_lines());
    // NAK, SYN, NAK, NAK, NAK: the SYN makes the last three a new count of three.
    line_mode_target([](unsigned n) {
        if (n == 1)
            return NAK_BYTE + SYN_BYTE + NAK_BYTE + NAK_BYTE + NAK_BYTE + ACK_BYTE;
        return n < 5 ? ACK_BYTE : ACK_BYTE + EOT_BYTE;
    });
    EXPECT_TRUE(run_download("image.s19", '1')) << output();

    // Ten seconds of silence after a SYN are waited out; without it they end the download.
    for (bool with_syn : {true, false}) {
        SetUp();
        use_image(four_lines());
        line_mode_target([with_syn](unsigned n) {
            if (n == 2) {
                test_link::target_says(with_syn ? SYN_BYTE : "");
                test_link::target_says(ACK_BYTE, 10000);
                return std::string();
            }
            return n < 4 ? ACK_BYTE : ACK_BYTE + EOT_BYTE;
        });
        EXPECT_EQ(run_download("image.s19", '1'), with_syn);
        if (!with_syn) {
            EXPECT_TRUE(ends_with("\r\nERROR - Receiver timeout.\r\n"));
        }
        TearDown();
    }
}

TEST_F(DriverTest, EndOfFileOutcomes) {
    // The file has ended: an ACK sends nothing, then EOT, another ACK, or silence decide.
    const std::vector<std::pair<std::string, std::string>> endings = {
        {EOT_BYTE, "\r\n\nDownload Complete.\r\n\r\n"},
        {ACK_BYTE, "\r\nERROR - Not enough data in file.\r\n"},
        {"", "\r\nERROR - Receiver timeout OR not enough data in file.\r\n"}};
    for (const auto &ending : endings) {
        SetUp();
        use_image(four_lines());
        std::string last = ending.first;
        line_mode_target([last](unsigned n) { return n < 4 ? ACK_BYTE : ACK_BYTE + last; });
        EXPECT_EQ(run_download("image.s19", '1'), ending.first == EOT_BYTE);
        EXPECT_TRUE(end_of_file);
        EXPECT_TRUE(ends_with(ending.second)) << output();
        TearDown();
    }
}

TEST_F(DriverTest, EotCountsOnlyOnceTheWholeFileHasGone) {
    // An EOT in place of the ACK for line 2 (one bit flipped on the line) is no success: the
    // target, still waiting for line 3, stays silent and the wait for its next byte ends it.
    use_image(four_lines());
    line_mode_target([](unsigned n) { return n < 2 ? ACK_BYTE : EOT_BYTE; });
    EXPECT_FALSE(run_download("image.s19", '1'));
    EXPECT_EQ(lines_, 2u);
    EXPECT_FALSE(shows("Download Complete."));
    EXPECT_TRUE(ends_with("\r\nERROR - Receiver timeout.\r\n")) << output();
    TearDown();

    // The EOT that answers the terminator record (an S9, sent as S8) ends it at once.
    SetUp();
    use_image(four_lines() + "S9030000FC\n");
    line_mode_target([](unsigned n) { return n < 5 ? ACK_BYTE : EOT_BYTE; });
    EXPECT_TRUE(run_download("image.s19", '1')) << output();
    EXPECT_EQ(lines_, 5u);
    EXPECT_FALSE(end_of_file);
    EXPECT_TRUE(ends_with("\r\n\nDownload Complete.\r\n\r\n")) << output();
}

TEST_F(DriverTest, FirstLineGoesAfterOneDiscardedByte) {
    use_image(four_lines());
    unsigned size_answers = 0;
    fake_target::on_transfer_byte([&](unsigned char c) {
        received_ += static_cast<char>(c);
        if (received_ == SIZE_REQUEST) {
            ++size_answers;
            // NAK selects line mode; after the exchange's 2 s wait for more answer bytes, the
            // next byte is read and dropped and the first line goes at once.
            test_link::target_says(NAK_BYTE);
            test_link::target_says("!", 3000);
            received_.clear();
        } else if (c == '\n') {
            ++lines_;
            test_link::target_says(lines_ < 4 ? ACK_BYTE : ACK_BYTE + EOT_BYTE);
            received_.clear();
        }
    });
    // EOT before the first ACK is ignored.
    fake_target::download_reply(EOT_BYTE + ACK_BYTE);
    ASSERT_TRUE(run_download("image.s19", '1'));
    EXPECT_EQ(size_answers, 1u);
    EXPECT_TRUE(shows("!"));
    const auto &bytes = test_link::written_bytes();
    size_t bang = 0;
    while (bytes[bang].value != 0xDE) // the size request's last byte
        ++bang;
    EXPECT_EQ(bytes[bang + 1].value, 'S');
    EXPECT_EQ(bytes[bang + 1].at_ms - bytes[bang].at_ms, 3000u);
}

TEST_F(DriverTest, SizeExchangeRetriesRestartTheDownload) {
    use_image(four_lines());
    unsigned requests = 0;
    fake_target::on_transfer_byte([&](unsigned char c) {
        received_ += static_cast<char>(c);
        if (received_ == SIZE_REQUEST) {
            received_.clear();
            if (++requests < 3) {
                // Four bytes of no accepted size, then silence: the exchange fails.
                test_link::target_says(std::string("\x00\x40\x00\x00", 4));
                fake_target::restart_command_phase();
            } else {
                test_link::target_says(NAK_BYTE);
            }
        } else if (c == '\n') {
            ++lines_;
            test_link::target_says(lines_ < 4 ? ACK_BYTE : ACK_BYTE + EOT_BYTE);
            received_.clear();
        }
    });
    ASSERT_TRUE(run_download("image.s19", '1')) << output();
    std::string again = "\r\n\nCould not obtain sector size response - will try again\r\n";
    size_t first = output().find(again);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(output().find(again, first + 1), std::string::npos);
    EXPECT_EQ(output().find("Downloading"), output().rfind("Downloading"));
    std::string sent = test_link::written();
    size_t commands = 0;
    for (size_t at = sent.find("download_firmware\n"); at != std::string::npos;
         at = sent.find("download_firmware\n", at + 1))
        ++commands;
    EXPECT_EQ(commands, 3u);
}

TEST_F(DriverTest, StartFailures) {
    // A third failed size exchange ends the download.
    use_image(four_lines());
    fake_target::on_transfer_byte([&](unsigned char c) {
        received_ += static_cast<char>(c);
        if (received_ == SIZE_REQUEST) {
            received_.clear();
            fake_target::restart_command_phase();
        }
    });
    EXPECT_FALSE(run_download("image.s19", '1'));
    EXPECT_TRUE(ends_with("\r\nERROR - Could not obtain sector size response\r\n"));

    // The download command is not echoed.
    SetUp();
    use_image(four_lines());
    fake_target::on_waiting_line([](const std::string &) {});
    test_link::on_write([](unsigned char c) {
        test_link::target_says(c == '\n' || c == '\r'
                                   ? "\r\n" + std::string(FIRMWARE_CORRUPTED_LINE)
                                   : std::string(1, c == 'w' ? 'W' : c));
    });
    EXPECT_FALSE(run_download("image.s19", '1'));
    EXPECT_TRUE(ends_with("\r\nERROR - Could not begin download.\r\n")) << output();

    // No session: the set-up's reason, then the driver's.
    SetUp();
    test_link::on_write(nullptr);
    EXPECT_FALSE(run_download("image.s19", '1'));
    EXPECT_TRUE(ends_with("\r\nCould not establish communications.\r\n"
                          "\r\nERROR - Could not obtain download prompt.\r\n"));
}

TEST_F(DriverTest, SectorModeEndsWithEotAndFullProgress) {
    // Data just above sector 1's start: sectors 1 and 2, every frame acknowledged.
    use_image("S10580004241F7\n");
    std::string frame;
    bool blocks = false;
    fake_target::on_transfer_byte([&](unsigned char c) {
        frame += static_cast<char>(c);
        if (!blocks && frame == SIZE_REQUEST) {
            test_link::target_says(std::string("\x00\x80\x00\x00", 4));
            frame.clear();
        } else if (!blocks && frame.size() == 9) {
            blocks = true; // the sector header
            test_link::target_says(ACK_BYTE);
            frame.clear();
        } else if (blocks && frame.size() == 132) {
            test_link::target_says(ACK_BYTE);
            frame.clear();
        } else if (blocks && frame.size() == 1 && (c == 0x1E || c == 0x1C)) {
            if (c == 0x1C) {
                test_link::target_says(ACK_BYTE);
                blocks = false;
            }
            frame.clear();
        }
    });
    ASSERT_TRUE(run_download("image.s19", '1')) << output();
    EXPECT_EQ(test_link::written().back(), '\x04');
    // Wake-up and link test, "\n", the download command, the size request, two sectors of a
    // header, 256 frames and 256 separators each, and the end byte.
    EXPECT_EQ(test_link::written().size(),
              14u + 1 + 18 + 9 + 2 * (9 + 256 * 132 + 256) + 1); // "\n", commands, frames
    EXPECT_TRUE(ends_with("\r100% complete.   \r\n\r\n")) << output();
}

} // namespace
