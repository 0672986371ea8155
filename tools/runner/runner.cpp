#include "runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace runner {
namespace {

using clock_type = std::chrono::steady_clock;

const char MISSING_DEVICE[] = "/nonexistent/kestrel-line";
const char WINE[] = "/usr/lib/wine/wine64";
const tcflag_t KEPT_LFLAG = ICANON | ISIG | ECHO, KEPT_IFLAG = ICRNL;

double since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string temp_dir() {
    char pattern[] = "/tmp/kestrel-run-XXXXXX";
    return mkdtemp(pattern) ? pattern : "/tmp";
}

// What a terminal shows of the bytes written to it: UTF-8 text, CR, LF, BS, and the control
// sequences that download and Wine's console use (cursor placement and moves, the scroll region,
// erasing), with a VT100's delayed wrap at the last column. Lines that scroll off the top of the
// whole screen are kept; a line that wrapped reads as one.
struct screen {
    static constexpr int ROWS = 24, COLUMNS = 80;
    std::string history; // the lines scrolled off, each with its end
    std::vector<std::vector<std::string>> cells =
        std::vector<std::vector<std::string>>(ROWS, std::vector<std::string>(COLUMNS, " "));
    std::vector<bool> wrapped = std::vector<bool>(ROWS); // the row's text goes on in the next
    int row = 0, column = 0, top = 0, bottom = ROWS - 1;
    bool wrap_pending = false;
    std::string pending, sequence;

    // A row as text: without trailing blanks and with a line end, unless it wrapped.
    std::string line(int r) const {
        std::string text;
        for (const std::string &c : cells[r])
            text += c;
        return wrapped[r] ? text : text.erase(text.find_last_not_of(' ') + 1) + "\n";
    }
    std::string text() const {
        std::string all = history;
        for (int r = 0; r < ROWS; ++r)
            all += line(r);
        while (all.size() > 1 && all.compare(all.size() - 2, 2, "\n\n") == 0)
            all.pop_back();
        return all;
    }
    void line_feed() {
        wrap_pending = false;
        if (row != bottom) {
            row = std::min(row + 1, ROWS - 1);
            return;
        }
        if (top == 0)
            history += line(0);
        cells.erase(cells.begin() + top);
        cells.insert(cells.begin() + bottom, std::vector<std::string>(COLUMNS, " "));
        wrapped.erase(wrapped.begin() + top);
        wrapped.insert(wrapped.begin() + bottom, false);
    }
    void put(const std::string &character) {
        if (wrap_pending) {
            wrapped[row] = true;
            column = 0;
            line_feed();
        }
        cells[row][column] = character;
        wrap_pending = column == COLUMNS - 1;
        column = std::min(column + 1, COLUMNS - 1);
    }
    void control(const std::string &parameters, char final) {
        int n[2] = {0, 0};
        std::sscanf(parameters.c_str(), "%d;%d", &n[0], &n[1]);
        wrap_pending = false;
        if (final == 'H') {
            row = std::min(std::max(n[0], 1), ROWS) - 1;
            column = std::min(std::max(n[1], 1), COLUMNS) - 1;
        } else if (final == 'r') {
            top = std::max(n[0], 1) - 1;
            bottom = (n[1] > 0 ? n[1] : ROWS) - 1;
            row = column = 0;
        } else if (final == 'C') {
            column = std::min(column + std::max(n[0], 1), COLUMNS - 1);
        } else if (final == 'K') {
            std::fill(cells[row].begin() + column, cells[row].end(), " ");
        } else if (final == 'J' && n[0] == 2) {
            for (auto &r : cells)
                r.assign(COLUMNS, " ");
            wrapped.assign(ROWS, false);
        }
    }
    void feed(const std::string &bytes) {
        for (char ch : bytes) {
            unsigned char c = static_cast<unsigned char>(ch);
            if (!sequence.empty()) { // "\x1b" or "\x1b[" and parameters so far
                sequence += ch;
                if (sequence.size() > 2 && c >= 0x40 && c <= 0x7E) {
                    if (sequence[2] != '?') // modes such as the cursor's visibility
                        control(sequence.substr(2, sequence.size() - 3), ch);
                    sequence.clear();
                } else if (sequence.size() == 2 && ch != '[') {
                    sequence.clear();
                }
            } else if (c == 0x1B) {
                sequence = ch;
            } else if (!pending.empty() || c >= 0x80) {
                pending += ch;
                unsigned char lead = static_cast<unsigned char>(pending[0]);
                if (pending.size() == (lead >= 0xF0 ? 4u : lead >= 0xE0 ? 3u : 2u)) {
                    put(pending);
                    pending.clear();
                }
            } else if (c == '\r' || c == '\b') {
                column = c == '\r' ? 0 : std::max(column - 1, 0);
                wrap_pending = false;
            } else if (c == '\n') {
                line_feed();
            } else if (c >= 0x20 && c != 0x7F) {
                put(std::string(1, ch));
            }
        }
    }
};

// argv and env (put before the inherited environment) as execve takes them, made before a fork
// so that the child calls nothing but execve.
struct command {
    std::vector<char *> args, vars;
    command(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        for (const std::string &e : env)
            vars.push_back(const_cast<char *>(e.c_str()));
        for (char **e = environ; *e != nullptr; ++e)
            vars.push_back(*e);
        args.push_back(nullptr);
        vars.push_back(nullptr);
    }
    // As a shell starts a job: another run's std::system() may have SIGINT and SIGQUIT ignored
    // in this process for a moment.
    [[noreturn]] void exec() {
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        execve(args[0], args.data(), vars.data());
        _exit(127);
    }
};

struct target_run {
    pid_t pid = -1;
    std::string device, log_path;
};

target_run start_target(std::vector<std::string> args, const std::string &dir) {
    target_run t;
    t.log_path = dir + "/target.log";
    args.insert(args.begin(), std::string(BUILD_DIR) + "/kestrel-target");
    args.insert(args.end(), {"--log", t.log_path});
    command target(args, {});
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return t;
    t.pid = fork();
    if (t.pid == 0 && dup2(out[1], STDOUT_FILENO) == STDOUT_FILENO)
        target.exec();
    close(out[1]);
    // Its first line, all it writes there, names the line to give the downloader.
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (poll(&p, 1, 10000) > 0 && read(out[0], &c, 1) == 1 && c != '\n')
        t.device += c;
    close(out[0]);
    return t;
}

// A target that is still waiting once the downloader has ended is stopped: a transfer that
// ends makes it exit by itself, at once.
void finish_target(target_run &t) {
    auto start = clock_type::now();
    int raw;
    while (waitpid(t.pid, &raw, WNOHANG) == 0) {
        if (since(start) > 3)
            kill(t.pid, since(start) > 5 ? SIGKILL : SIGTERM);
        usleep(20000);
    }
}

struct console_run {
    pid_t pid = -1;
    int terminal = -1; // master side
    screen shown;
};

// Reads what comes within wait_ms: the number of bytes, or -1 once the program's side is closed.
int pump(console_run &run, int wait_ms) {
    pollfd p{run.terminal, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0)
        return 0;
    char buffer[4096];
    ssize_t got = read(run.terminal, buffer, sizeof buffer);
    if (got > 0)
        run.shown.feed(std::string(buffer, static_cast<size_t>(got)));
    return got > 0 ? static_cast<int>(got) : -1;
}

bool wait_for_text(console_run &run, const std::string &text, double timeout_s) {
    auto start = clock_type::now();
    while (!contains(run.shown.text(), text))
        if (since(start) > timeout_s || pump(run, 50) < 0)
            return false;
    return true;
}

bool reading_keys(const console_run &run) {
    termios now{};
    return tcgetattr(run.terminal, &now) == 0 && !(now.c_lflag & ICANON);
}

// Each key waits for the program's key read: one typed earlier would meet the line
// discipline (Enter as a line feed). Wine reads keys raw from its start.
void type(console_run &run, const std::string &keys) {
    for (char c : keys) {
        auto start = clock_type::now();
        while (!reading_keys(run) && since(start) < 30)
            pump(run, 5);
        if (write(run.terminal, &c, 1) != 1)
            return;
        start = clock_type::now();
        while (reading_keys(run) && since(start) < 0.2)
            pump(run, 5);
    }
}

// "!FG" stops the program and continues it as a shell's job control does, with the shell's
// terminal modes put back in between; any other name is a signal to send ("!HUP").
void signal_program(console_run &run, const std::string &name, const termios &shell_modes) {
    if (name != "FG") {
        for (int n = 1; n < NSIG; ++n)
            if (sigabbrev_np(n) != nullptr && name == sigabbrev_np(n))
                kill(run.pid, n);
        return;
    }
    kill(run.pid, SIGSTOP);
    std::string stat_path = "/proc/" + std::to_string(run.pid) + "/stat";
    auto start = clock_type::now();
    while (!contains(read_file(stat_path), ") T ") && since(start) < 5)
        usleep(10000);
    tcsetattr(run.terminal, TCSANOW, &shell_modes);
    kill(run.pid, SIGCONT);
}

void run_console(const launcher &how, const plan &s, const std::string &device, outcome *o) {
    std::vector<std::string> argv = {how.program}, env;
    if (how.kind == launcher::wine) {
        argv.insert(argv.begin(), WINE);
        std::string link = how.helper + "/com" + s.com;
        unlink(link.c_str());
        if (symlink(device.empty() ? MISSING_DEVICE : device.c_str(), link.c_str()) != 0)
            o->screen = "cannot link " + link + "\n";
        env = {"WINEPREFIX=" + how.helper, "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml="};
    }
    for (const std::string &a : s.args)
        argv.push_back(a == "IMAGE" ? s.image : a);
    // Started with a signal ignored, as nohup does, through env.
    if (argv.size() > 1 && argv[1].compare(0, 16, "--ignore-signal=") == 0) {
        std::swap(argv[0], argv[1]);
        argv.insert(argv.begin(), "/usr/bin/env");
    }
    // Every port but the target's leads nowhere, so that no run reaches a real device.
    for (char n = '1'; n <= '9'; ++n)
        env.push_back(std::string("KESTRELLOAD_COM") + n + "=" +
                      (n == s.com && !device.empty() ? device : MISSING_DEVICE));
    termios settings{};
    cfmakeraw(&settings);
    settings.c_lflag |= KEPT_LFLAG; // an operator's terminal echoes until the program reads keys
    settings.c_iflag |= KEPT_IFLAG;
    settings.c_cc[VINTR] = 3;
    settings.c_cc[VMIN] = 1;
    cfsetspeed(&settings, B38400);
    winsize size{screen::ROWS, screen::COLUMNS, 0, 0};
    console_run run;
    command program(argv, env);
    run.pid = forkpty(&run.terminal, nullptr, &settings, &size);
    if (run.pid == 0)
        program.exec();
    fcntl(run.terminal, F_SETFD, FD_CLOEXEC); // no program of another run may keep it open
    for (const auto &key : s.keys) {
        if (!wait_for_text(run, key.first, 60))
            break;
        if (how.kind == launcher::wine)
            usleep(300000); // its console's key reader starts a moment after raw mode
        if (key.second[0] == '!')
            signal_program(run, key.second.substr(1), settings);
        else if (key.second[0] != '>')
            type(run, key.second);
        else if (write(run.terminal, key.second.data() + 2, key.second.size() - 2) < 0)
            break; // typed ahead, whatever the program is doing
    }
    int raw = 0;
    rusage usage{};
    auto start = clock_type::now();
    std::string status_path = "/proc/" + std::to_string(run.pid) + "/status";
    while (wait4(run.pid, &raw, WNOHANG, &usage) == 0) {
        if (since(start) > 240)
            kill(run.pid, SIGKILL);
        std::string status = read_file(status_path);
        size_t anon = status.find("RssAnon:");
        if (anon != std::string::npos)
            o->peak_anon_kib = std::max(o->peak_anon_kib, std::atol(status.c_str() + anon + 8));
        if (pump(run, 50) < 0)
            usleep(10000);
    }
    while (pump(run, 0) > 0) {
    }
    termios after{};
    tcgetattr(run.terminal, &after);
    o->terminal_kept =
        how.kind == launcher::wine || (((after.c_lflag ^ settings.c_lflag) & KEPT_LFLAG) == 0 &&
                                       ((after.c_iflag ^ settings.c_iflag) & KEPT_IFLAG) == 0);
    close(run.terminal);
    o->status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    o->screen += run.shown.text();
    o->cpu_seconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                     (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    o->max_rss_kib = usage.ru_maxrss;
}

// In DOSBox, headless: the keys from a file, COM1 or COM2 a TCP connection to the target, the
// exit status through ERRORLEVEL, then the text screen read back by SCRDUMP.
void run_dosbox(const launcher &how, const plan &s, const std::string &device,
                const std::string &dir, outcome *o) {
    write_file(dir + "/DOWNLOAD.EXE", read_file(how.program));
    write_file(dir + "/SCRDUMP.EXE", read_file(how.helper));
    write_file(dir + "/IMAGE.S19", read_file(s.image));
    std::string command = "DOWNLOAD", keys;
    for (const std::string &a : s.args)
        command += " " + (a == "IMAGE" ? std::string("IMAGE.S19") : a);
    for (const auto &key : s.keys)
        keys += key.second;
    write_file(dir + "/KEYS.TXT", keys);
    std::string port = device.substr(device.rfind(':') + 1);
    std::string line = "'nullmodem server:127.0.0.1 port:" + port + " transparent:1'";
    std::system((SOURCE_DIR "/scripts/dosbox-run " + dir + " " +
                 (s.com == '1' && !device.empty() ? line : "disabled") + " " +
                 (s.com == '2' && !device.empty() ? line : "disabled") + " '" + command +
                 " < KEYS.TXT > OUT.TXT' SCRDUMP")
                    .c_str());
    std::string status = read_file(dir + "/RC1.TXT");
    o->status = status.empty() ? -1 : std::atoi(status.c_str());
    screen shown;
    shown.feed(read_file(dir + "/OUT.TXT") + "\r\n" +
               output_of("iconv -f CP437 -t UTF-8 " + dir + "/SCREEN.TXT"));
    o->screen = shown.text();
}

// What srec_cat makes of the image over the range the target records.
std::string reference(const std::string &image) {
    std::string range = std::to_string(RANGE_START) + " " + std::to_string(RANGE_END + 1);
    return output_of("srec_cat '" + image + "' -fill 0xFF " + range + " -crop " + range +
                     " -offset -" + std::to_string(RANGE_START) + " -o - -binary 2>/dev/null");
}

// The images "small", 4 KiB from RANGE_START, and "far", 4 KiB across the middle of the first
// 131072-byte sector (where the DOS build's sector buffer crosses from one 64 KiB segment to the
// next), in dir: every byte value in a period of 257 bytes, so that blocks do not begin alike.
std::string make_image(const std::string &dir, const std::string &name) {
    unsigned long start = name == "far" ? 0x2F800 : RANGE_START;
    std::string path = dir + "/" + name + ".s28", data, from = std::to_string(start);
    for (unsigned i = 0; i < 257; ++i)
        data += " " + std::to_string(i * 53 % 256);
    output_of("srec_cat -generate " + from + " " + std::to_string(start + 0x1000) +
              " -repeat-data" + data + " -execution-start-address " + from + " -o " + path +
              " -Motorola -address-length=3");
    return path;
}

} // namespace

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string output_of(const std::string &command) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (size_t got; pipe && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, got);
    if (pipe)
        pclose(pipe);
    return out;
}

outcome run(const launcher &how, const plan &asked) {
    outcome o;
    auto start = clock_type::now();
    std::string dir = temp_dir();
    plan s = asked;
    if (s.image == "small" || s.image == "far")
        s.image = make_image(dir, s.image);
    target_run target;
    if (!s.target.empty()) {
        std::vector<std::string> args = s.target;
        args.insert(args.end(), {"--output", dir + "/received.bin", "--range",
                                 std::to_string(RANGE_START) + ":" + std::to_string(RANGE_END)});
        if (how.kind == launcher::dosbox)
            args.insert(args.end(), {"--tcp", "0"});
        target = start_target(args, dir);
    }
    if (how.kind == launcher::dosbox)
        run_dosbox(how, s, target.device, dir, &o);
    else
        run_console(how, s, target.device, &o);
    o.seconds = since(start);
    if (target.pid > 0) {
        finish_target(target);
        o.log = read_file(target.log_path);
        o.received = read_file(dir + "/received.bin");
        o.reference = reference(s.image);
    }
    std::system(("rm -rf " + dir).c_str());
    return o;
}

} // namespace runner
