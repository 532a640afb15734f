// A stand-in for `vetrona-sim serve` on a Unix socket, for tests of the
// client library's socket back end: each connection's requests go to a
// handler that returns the response frame, or nothing to end the connection.
#pragma once

#include "client/lib/socket/protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vtest {

namespace proto = vetrona::client::socket;

inline std::vector<uint8_t> ResponseFrame(uint32_t kind, int32_t hr, uint32_t returned, const std::vector<uint8_t>& data = {}) {
    std::vector<uint8_t> payload;
    proto::Put32(&payload, static_cast<uint32_t>(hr));
    proto::Put32(&payload, returned);
    payload.insert(payload.end(), data.begin(), data.end());
    return proto::Frame(kind | proto::kResponseFlag, payload);
}

class FakeServer {
public:
    // Called on the connection's own thread: `connection` counts from 0.
    using Handler = std::function<std::optional<std::vector<uint8_t>>(int connection, uint32_t kind,
                                                                      const std::vector<uint8_t>& payload)>;

    explicit FakeServer(Handler handler) : handler_(std::move(handler)) {
        path_ = (std::filesystem::temp_directory_path() /
                 ("vetrona-fake-" + std::to_string(::getpid()) + "-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + ".sock"))
                    .string();
        ::unlink(path_.c_str());
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path_.c_str(), path_.size());
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(listener_, 16) != 0) {
            ::close(listener_);
            listener_ = -1;
            return;
        }
        acceptor_ = std::thread([this] { Accept(); });
    }

    ~FakeServer() {
        stop_ = true;
        if (acceptor_.joinable()) acceptor_.join();
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
        }
        for (std::thread& t : threads_) t.join();
        for (int fd : fds_) ::close(fd);
        if (listener_ >= 0) ::close(listener_);
        ::unlink(path_.c_str());
    }

    bool listening() const { return listener_ >= 0; }
    const std::string& path() const { return path_; }
    int connections() const { return connections_; }

private:
    void Accept() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            const int number = connections_++;
            std::lock_guard<std::mutex> guard(lock_);
            fds_.push_back(fd);
            threads_.emplace_back([this, fd, number] { Serve(fd, number); });
        }
    }

    void Serve(int fd, int number) {
        for (;;) {
            uint32_t kind = 0;
            std::vector<uint8_t> payload;
            if (proto::ReadFrame(fd, &kind, &payload) != proto::ReadResult::Ok) break;
            const std::optional<std::vector<uint8_t>> response = handler_(number, kind, payload);
            if (!response || !proto::WriteAll(fd, *response)) break;
        }
        ::shutdown(fd, SHUT_RDWR);
    }

    Handler handler_;
    std::string path_;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread acceptor_;
    std::mutex lock_;
    std::vector<int> fds_;
    std::vector<std::thread> threads_;
};

}  // namespace vtest
