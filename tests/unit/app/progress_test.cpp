// The console layer: progress line kept in place, ended by any message.
#include <gtest/gtest.h>

#include "app/console.h"
#include "serial/serial.h"
#include "support/test_console.h"

namespace {

TEST(ProgressLine, TextsAreSeventeenCharactersWide) {
    test_console::reset();
    show_progress(0);
    show_progress(7);
    show_progress(42);
    show_progress(99);
    show_progress(100);
    show_progress(250);
    EXPECT_EQ(test_console::output(), "\r\n  0% complete... "
                                      "\r  7% complete... "
                                      "\r 42% complete... "
                                      "\r 99% complete... "
                                      "\r100% complete.   "
                                      "\r100% complete.   ");
}

TEST(ProgressLine, MessagesEndTheLineAndTheNextProgressStartsBelow) {
    test_console::reset();
    show_progress(5);
    console_print("Resending Record 3\r\n");
    show_progress(6);
    console_print("x");
    console_print("y");
    EXPECT_EQ(test_console::output(), "\r\n  5% complete... "
                                      "\r\nResending Record 3\r\n"
                                      "\r\n  6% complete... "
                                      "\r\nxy");
    EXPECT_FALSE(progress_line_open);
}

TEST(DownloadHeader, NameCutAt80AndSpeedShown) {
    test_console::reset();
    baud_rate = 57600;
    std::string name(100, 'n');
    print_download_header(name.c_str(), '3');
    EXPECT_EQ(test_console::output(), "\r\n\nDownloading " + std::string(80, 'n') +
                                          " --\r\nCom port: 3, Baud Rate: 57600 . . .\r\n\n");
}

} // namespace
