#include "connection_holder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace DialogflowSim {
namespace {

bool WriteAll(int fd, const char* data, ssize_t size) {
    while (size > 0) {
        ssize_t written = send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// The relay's leg to the gRPC server; -1 on failure.
int ConnectLocal(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

ConnectionHolder::ConnectionHolder(int hold_ms, int target_port)
    : hold_ms_(hold_ms), target_port_(target_port) {}

ConnectionHolder::~ConnectionHolder() {
    Stop();
}

bool ConnectionHolder::Start(const std::string& host, int port, std::string* error) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        *error = "holding connections needs an IPv4 listen address, not \"" + host + "\"";
        return false;
    }
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    socklen_t length = sizeof(address);
    if (listener_ < 0 || setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener_, 64) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        *error =
            "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
    return true;
}

void ConnectionHolder::Stop() {
    if (wake_[1] >= 0) {
        char byte = 0;
        (void)!write(wake_[1], &byte, 1);
    }
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    std::vector<std::thread> relays;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        relays.swap(relays_);
    }
    for (auto& relay : relays) {
        relay.join();
    }
    for (int* fd : {&listener_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

void ConnectionHolder::Accept() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[0].revents == 0) {
            continue;
        }
        int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        relays_.emplace_back([this, client] { Relay(client); });
    }
}

void ConnectionHolder::Relay(int client) {
    // The hold: the client's bytes wait in the socket, nothing answers them.
    pollfd wake = {wake_[0], POLLIN, 0};
    int server = -1;
    if (poll(&wake, 1, hold_ms_) == 0) {
        server = ConnectLocal(target_port_);
    }
    if (server >= 0) {
        char buffer[16384];
        for (bool open = true; open;) {
            pollfd fds[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (poll(fds, 3, -1) < 0) {
                open = errno == EINTR;
                continue;
            }
            if (fds[2].revents != 0) {
                break;
            }
            for (int i = 0; i < 2 && open; ++i) {
                if (fds[i].revents == 0) {
                    continue;
                }
                ssize_t count = recv(fds[i].fd, buffer, sizeof(buffer), 0);
                open = count > 0 && WriteAll(fds[1 - i].fd, buffer, count);
            }
        }
        close(server);
    }
    close(client);
}

}  // namespace DialogflowSim
