#include "unit.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "app/console.h"
#include "image/srecord.h"
#include "serial/serial.h"
#include "session/session.h"
#include "transfer/transfer.h"

namespace {
std::vector<std::string> made;
void remove_made() {
    for (const std::string &path : made)
        unlink(path.c_str());
}
} // namespace

void fresh_start() {
    wire::reset();
    test_console::reset();
    if (image_file != NULL)
        fclose(image_file);
    image_file = NULL;
    baud_rate = 57600;
    port_number = 1;
    start_line_mode();
    start_sector_progress();
}

void scripted_transfer(std::vector<std::string> answers, bool shorthand) {
    auto transfer = std::make_shared<bool>(false); // the command has gone
    wire::on_write = [transfer](unsigned char c) {
        const std::string &sent = wire::written, COMMAND = "download_firmware\n";
        if (*transfer || c == 0x03 || c == '\r')
            return;
        *transfer = sent.size() >= COMMAND.size() &&
                    sent.compare(sent.size() - COMMAND.size(), COMMAND.size(), COMMAND) == 0;
        wire::says(sent.size() == 15 ? "\n==> Firmware corrupted: download system software\r\n"
                                     : std::string(1, (char)c));
    };
    auto next = std::make_shared<size_t>(0);
    wire::on_wait = [answers, shorthand, next, transfer]() {
        if (!*transfer)
            return;
        size_t n = (*next)++;
        std::string answer = n < answers.size() ? answers[n] : "\x06";
        shorthand ? far_says(answer) : wire::says(answer);
    };
}

std::string far_bytes(const std::string &shorthand) {
    // Each name after a space, then its bytes written in this same form.
    const std::string NAMED = " A<06> N<15> Y<16> E<04> C<18> Ddownload_firmware<0A> z<00800000> "
                              "Z<00000200>";
    std::string bytes;
    for (size_t i = 0; i < shorthand.size(); ++i) {
        size_t name = NAMED.find(std::string(" ") + shorthand[i]), next = NAMED.find(' ', name + 1);
        std::string piece = name == std::string::npos
                                ? shorthand.substr(i, 1)
                                : far_bytes(NAMED.substr(name + 2, next - name - 2));
        if (shorthand[i] == '<') {
            size_t end = shorthand.find('>', i);
            for (piece.clear(); ++i < end; ++i)
                piece += (char)std::stoi(shorthand.substr(i, 2), nullptr, 16);
        }
        size_t digits = 0;
        unsigned long count =
            isdigit((unsigned char)shorthand[i + 1]) ? std::stoul(&shorthand[i + 1], &digits) : 1;
        for (i += digits; count > 0; --count)
            bytes += piece;
    }
    return bytes;
}

void far_says(const std::string &text) {
    size_t room = text.find('!');
    if (room != std::string::npos)
        wire::writes_left = std::stol(&text[room + 1]);
    std::string parts = text.substr(0, room);
    for (size_t from = 0; from <= parts.size();) {
        size_t to = std::min(parts.find('+', from), parts.size()), at = parts.find('@', from);
        bool delayed = at < to;
        std::string bytes = parts.substr(from, (delayed ? at : to) - from);
        wire::says(bytes == "-" ? "" : far_bytes(bytes), delayed ? std::stoul(&parts[at + 1]) : 0);
        from = to + 1;
    }
}

bool shown_in_order(const std::vector<std::string> &texts, std::string *missing) {
    size_t at = 0;
    for (const std::string &text : texts)
        if ((at = test_console::output().find(text, at)) == std::string::npos)
            return *missing = text, false;
    return true;
}

std::vector<std::string> words(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

size_t count_of(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::string srec(char type, uint32_t address, const std::string &data) {
    unsigned address_length = type == '2' || type == '8' ? 3 : type == '3' || type == '7' ? 4 : 2;
    std::string bytes(1, (char)(address_length + data.size() + 1)), text = {'S', type};
    for (unsigned i = address_length; i > 0; --i)
        bytes += (char)(address >> (8 * (i - 1)));
    unsigned sum = 0;
    for (unsigned char byte : bytes += data)
        sum += byte;
    char hex[3];
    for (unsigned char byte : bytes += (char)~sum)
        snprintf(hex, sizeof hex, "%02X", byte), text += hex;
    return text + "\n";
}

std::string pattern(uint32_t start, uint32_t length) {
    std::string bytes;
    for (uint32_t a = start; a - start < length; ++a)
        bytes += (char)(a * 7 + (a >> 8) + (a >> 16));
    return bytes;
}

std::string pattern_records(char type, uint32_t start, uint32_t length, unsigned per_record) {
    std::string text;
    for (uint32_t done = 0; done < length; done += per_record)
        text +=
            srec(type, start + done, pattern(start + done, std::min(length - done, per_record)));
    return text;
}

std::string temp_file(const std::string &text) {
    char name[] = "/tmp/kestrel-unit-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0 || write(fd, text.data(), text.size()) != (ssize_t)text.size())
        abort();
    close(fd);
    if (made.empty())
        atexit(remove_made);
    made.push_back(name);
    return name;
}

void use_image(const std::string &text) {
    if (image_file != NULL)
        fclose(image_file);
    std::string path = temp_file(text);
    image_file = fopen(path.c_str(), "rb");
    unlink(path.c_str()); // gone with the stream
    made.pop_back();
}
