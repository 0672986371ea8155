// The line as a TCP connection: the target listens on the loopback interface and the line is
// the one connection it accepts (an emulated PC's serial port, for instance). There is no
// line speed on such a line.
#include "tools/kestrel-target/line.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string socket_error(const char *what) {
    return std::string(what) + ": " + strerror(errno);
}

} // namespace

bool line_open_tcp(Line &line, unsigned port, std::string &error) {
    line.device = false;
    line.tcp = true;
    line.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (line.fd < 0) {
        error = socket_error("socket");
        return false;
    }
    int on = 1;
    setsockopt(line.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(line.fd, (struct sockaddr *)&address, sizeof address) != 0) {
        error = socket_error(("port " + std::to_string(port)).c_str());
        return false;
    }
    socklen_t length = sizeof address;
    if (listen(line.fd, 1) != 0 || getsockname(line.fd, (struct sockaddr *)&address, &length)) {
        error = socket_error("listen");
        return false;
    }
    // Port 0 takes a free port; the name tells the caller which.
    line.path = "tcp:127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    return true;
}

bool line_accept_tcp(Line &line, unsigned timeout_s, std::string &error) {
    struct pollfd pfd = {line.fd, POLLIN, 0};
    int ready;
    do
        ready = poll(&pfd, 1, timeout_s == 0 ? -1 : (int)(timeout_s * 1000));
    while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        error = ready == 0 ? "no connection within " + std::to_string(timeout_s) + " s"
                           : socket_error("poll");
        return false;
    }
    int connection = accept4(line.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (connection < 0) {
        error = socket_error("accept");
        return false;
    }
    close(line.fd);
    line.fd = connection;
    // Control bytes go one at a time: each must leave at once.
    int on = 1;
    setsockopt(line.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}
