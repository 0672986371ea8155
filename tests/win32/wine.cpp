#include "wine.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "screen.h"

namespace win32 {
namespace {

const char WINE[] = "/usr/lib/wine/wine64";
const char WINESERVER[] = "/usr/lib/wine/wineserver";
const char NEVER_SHOWN[] = "\x01\x02";

std::string prefix() {
    return std::string(WIN64_BUILD_DIR) + "/wine-prefix";
}
std::string com1_link() {
    return std::string(WIN64_BUILD_DIR) + "/wine-com1";
}

std::string wine_environment() {
    return "WINEPREFIX='" + prefix() + "' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' ";
}

void run(const std::string &command) {
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("failed: " + command);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

void start_wine() {
    // The prefix's server starts COM devices from this key, so it is set before a fresh start.
    std::string ports = "HKLM\\Software\\Wine\\Ports";
    std::string command;
    for (int port = 1; port <= 9; ++port) {
        std::string target =
            port == 1 ? com1_link() : std::string(WIN64_BUILD_DIR) + "/no-such-port";
        command += std::string(WINE_RUN) + " '" + prefix() + "' reg add '" + ports + "' /v COM" +
                   std::to_string(port) + " /d '" + target + "' /f >/dev/null && ";
    }
    run(command + "true");
    // One server for all tests. Wine's background programs start with the first program after
    // it and keep its terminal open: that first program is one with nothing to keep open.
    run(wine_environment() + WINESERVER + " -k; " + wine_environment() + WINESERVER + " -w; " +
        wine_environment() + WINESERVER + " -p >/dev/null 2>&1");
    run(std::string(WINE_RUN) + " '" + prefix() + "' cmd /c exit </dev/null >/dev/null 2>&1");
}

void stop_wine() {
    std::system((wine_environment() + WINESERVER + " -k").c_str());
    unlink(com1_link().c_str());
}

void connect_com1(const std::string &device) {
    unlink(com1_link().c_str());
    if (symlink(device.c_str(), com1_link().c_str()) != 0)
        throw std::runtime_error("cannot link " + com1_link());
}

e2e::console_run start_kestrelload(const std::vector<std::string> &args,
                                   const std::string &output_file, const std::string &program) {
    termios settings{};
    cfmakeraw(&settings);
    settings.c_lflag |= ICANON | ISIG;
    settings.c_iflag |= ICRNL;
    settings.c_cc[VMIN] = 1;
    cfsetspeed(&settings, B38400);
    winsize size{24, 80, 0, 0};
    e2e::console_run console;
    console.pid = forkpty(&console.terminal, nullptr, &settings, &size);
    if (console.pid < 0)
        throw std::runtime_error("forkpty failed");
    if (console.pid == 0) {
        if (!output_file.empty()) {
            int out = open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, STDOUT_FILENO);
            close(out);
        }
        setenv("WINEPREFIX", prefix().c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        std::string exe = std::string(WIN64_BUILD_DIR) + "/" + program;
        std::vector<char *> argv{const_cast<char *>(WINE), const_cast<char *>(exe.c_str())};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(WINE, argv.data());
        _exit(127);
    }
    return console;
}

pid_t start_with_pipes(const std::string &program, int *input, int *output) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1], null})
            close(fd);
        setenv("WINEPREFIX", prefix().c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        std::string exe = std::string(WIN64_BUILD_DIR) + "/" + program;
        execl(WINE, WINE, exe.c_str(), (char *)nullptr);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    *input = in[1];
    *output = out[0];
    return pid;
}

bool wait_for_key_input(e2e::console_run &run, double timeout_s) {
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        termios now{};
        if (tcgetattr(run.terminal, &now) == 0 && !(now.c_lflag & ICANON))
            break;
        if (seconds_since(start) > timeout_s)
            return false;
        e2e::expect(run, NEVER_SHOWN, 0.05);
    }
    // Raw mode comes with the console's start; its input reader may follow a moment later.
    e2e::expect(run, NEVER_SHOWN, 0.3);
    return true;
}

bool expect_on_screen(e2e::console_run &run, const std::string &text, double timeout_s) {
    auto start = std::chrono::steady_clock::now();
    while (screen_text(run.output).find(text) == std::string::npos) {
        if (seconds_since(start) > timeout_s)
            return false;
        if (!e2e::expect(run, NEVER_SHOWN, 0.2))
            usleep(50000); // ended: what it wrote is all there is
    }
    return true;
}

bool expect_in_file(e2e::console_run &run, const std::string &path, const std::string &text,
                    double timeout_s) {
    auto start = std::chrono::steady_clock::now();
    while (e2e::read_file(path).find(text) == std::string::npos) {
        if (seconds_since(start) > timeout_s)
            return false;
        e2e::expect(run, NEVER_SHOWN, 0.1);
        usleep(50000);
    }
    return true;
}

} // namespace win32
