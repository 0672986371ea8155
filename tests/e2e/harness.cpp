#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace e2e {
namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

int decode_status(int raw) {
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw))
        return 128 + WTERMSIG(raw);
    return -1;
}

// Reads what is there within wait_ms; false once the program's side is closed.
bool pump(console_run &run, int wait_ms) {
    if (run.terminal < 0)
        return false;
    pollfd p{run.terminal, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0)
        return true;
    char buffer[4096];
    ssize_t got = read(run.terminal, buffer, sizeof buffer);
    if (got > 0) {
        run.output.append(buffer, static_cast<size_t>(got));
        return true;
    }
    return false; // EIO: every slave descriptor closed
}

void exec_with_env(const std::string &path, const std::vector<std::string> &args,
                   const std::vector<std::string> &env) {
    for (const auto &entry : env)
        putenv(strdup(entry.c_str()));
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path.c_str()));
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
}

} // namespace

std::string source_path(const std::string &relative) {
    return std::string(SOURCE_DIR) + "/" + relative;
}
std::string build_path(const std::string &relative) {
    return std::string(BUILD_DIR) + "/" + relative;
}

std::string temp_dir() {
    char pattern[] = "/tmp/kestrel-e2e-XXXXXX";
    const char *made = mkdtemp(pattern);
    if (made == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return made;
}

std::string srec_reference(const std::string &image, unsigned long start, unsigned long end) {
    std::string dir = temp_dir();
    std::string out = dir + "/reference.bin";
    char command[512];
    std::snprintf(command, sizeof command,
                  "srec_cat '%s' -fill 0xFF 0x%lX 0x%lX -crop 0x%lX 0x%lX -offset -0x%lX -o '%s' "
                  "-binary 2>/dev/null",
                  image.c_str(), start, end + 1, start, end + 1, start, out.c_str());
    std::string bytes = std::system(command) == 0 ? read_file(out) : std::string();
    unlink(out.c_str());
    rmdir(dir.c_str());
    return bytes;
}

std::string range_text(unsigned long start, unsigned long end) {
    char text[48];
    std::snprintf(text, sizeof text, "0x%lX:0x%lX", start, end);
    return text;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

console_run start_console(const std::string &program, const std::vector<std::string> &args,
                          const std::vector<std::string> &env) {
    termios settings{};
    cfmakeraw(&settings);
    settings.c_lflag |= ICANON | ISIG; // the program switches to key-at-a-time reads itself
    settings.c_iflag |= ICRNL;
    settings.c_cc[VINTR] = 3;
    settings.c_cc[VMIN] = 1;
    cfsetspeed(&settings, B38400);
    winsize size{24, 80, 0, 0};
    console_run run;
    std::string path = build_path(program);
    run.pid = forkpty(&run.terminal, nullptr, &settings, &size);
    if (run.pid < 0)
        throw std::runtime_error("forkpty failed");
    if (run.pid == 0)
        exec_with_env(path, args, env);
    return run;
}

bool expect(console_run &run, const std::string &text, double timeout_s) {
    auto start = clock_type::now();
    while (run.output.find(text) == std::string::npos) {
        if (seconds_since(start) > timeout_s || !pump(run, 50))
            return run.output.find(text) != std::string::npos;
    }
    return true;
}

// True once the program has its terminal in key-at-a-time mode, i.e. it is waiting for a key.
bool reading_keys(const console_run &run) {
    termios now{};
    return tcgetattr(run.terminal, &now) == 0 && !(now.c_lflag & ICANON);
}

void type(console_run &run, const std::string &keys) {
    for (char c : keys) {
        // A key typed before the program reads it would be translated by the line discipline
        // (Enter as a line feed), so each one waits for the program's key read.
        auto start = clock_type::now();
        while (!reading_keys(run) && seconds_since(start) < 10)
            pump(run, 5);
        if (write(run.terminal, &c, 1) != 1)
            return;
        start = clock_type::now();
        while (reading_keys(run) && seconds_since(start) < 0.2)
            pump(run, 5);
    }
}

int finish(console_run &run, double timeout_s) {
    auto start = clock_type::now();
    int raw = 0;
    rusage usage{};
    while (wait4(run.pid, &raw, WNOHANG, &usage) == 0) {
        if (seconds_since(start) > timeout_s) {
            kill(run.pid, SIGKILL);
            wait4(run.pid, &raw, 0, &usage);
            break;
        }
        if (!pump(run, 50))
            usleep(10000);
    }
    run.max_rss_kib = usage.ru_maxrss;
    run.cpu_seconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                      (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    while (pump(run, 0) && run.terminal >= 0) {
        pollfd p{run.terminal, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            break;
    }
    close(run.terminal);
    run.terminal = -1;
    run.status = decode_status(raw);
    return run.status;
}

target_run start_target(const std::vector<std::string> &args) {
    target_run target;
    std::string dir = temp_dir();
    target.log_path = dir + "/target.log";
    int out[2];
    if (pipe(out) != 0)
        throw std::runtime_error("pipe failed");
    target.pid = fork();
    if (target.pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        int log = open(target.log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(log, STDERR_FILENO);
        close(out[0]);
        exec_with_env(build_path("kestrel-target"), args, {});
    }
    close(out[1]);
    // The first line names the device.
    std::string line;
    auto start = clock_type::now();
    char c;
    while (seconds_since(start) < 10) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        if (read(out[0], &c, 1) != 1 || c == '\n')
            break;
        line += c;
    }
    target.output = out[0];
    target.device = line;
    return target;
}

int finish_target(target_run &target, double timeout_s) {
    auto start = clock_type::now();
    int raw = 0;
    while (waitpid(target.pid, &raw, WNOHANG) == 0) {
        if (seconds_since(start) > timeout_s) {
            kill(target.pid, SIGTERM);
            usleep(200000);
            kill(target.pid, SIGKILL);
            waitpid(target.pid, &raw, 0);
            break;
        }
        usleep(20000);
    }
    close(target.output);
    target.output = -1;
    target.status = decode_status(raw);
    return target.status;
}

} // namespace e2e
