// What every unit test uses: a fresh start, test images and the pattern of their data bytes.
#ifndef TESTS_SUPPORT_UNIT_H
#define TESTS_SUPPORT_UNIT_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/console.h"
#include "support/wire.h"

// The wire, the console and every program-wide value back to how a run starts; the image
// file closed, port 1 chosen.
void fresh_start();

// A target already waiting for the download whose transfer phase is scripted: after
// "download_firmware\n", answer n goes out when the program next waits after writing, as far_says
// reads it when `shorthand`; past the list every wait gets an ACK.
void scripted_transfer(std::vector<std::string> answers, bool shorthand = false);

// Bytes of the far end in short: A ACK, N NAK, Y SYN, E EOT, C CAN, D the echo of
// "download_firmware\n", z and Z the sector sizes 32768 and 131072 as a target sends them, <hex>
// any bytes; a count after a character or <hex> repeats it; anything else stands for itself.
std::string far_bytes(const std::string &shorthand);
// Queues the parts of shorthand, joined by '+', each bytes[@delay_ms]; "-" says nothing. A text!r
// has writes fail after r more bytes.
void far_says(const std::string &shorthand);

// Whether the texts appear in the console output in this order; else false with the first
// that does not in *missing.
bool shown_in_order(const std::vector<std::string> &texts, std::string *missing);

// The parts of text between separators, empty ones left out.
std::vector<std::string> words(const std::string &text, char separator = ' ');

// How often part occurs in text.
size_t count_of(const std::string &text, const std::string &part);

// One S-record line: type, count, address of the type's length, data, checksum, line feed.
std::string srec(char type, uint32_t address, const std::string &data);

// The pattern images' data bytes of [start, start + length).
std::string pattern(uint32_t start, uint32_t length);
// Data records of one type covering [start, start + length) with pattern bytes.
std::string pattern_records(char type, uint32_t start, uint32_t length, unsigned per_record = 32);

// A temporary file holding text, removed when the tests end.
std::string temp_file(const std::string &text);
// image_file opened ("rb") on a temporary file holding text; closes the one before.
void use_image(const std::string &text);

#endif
