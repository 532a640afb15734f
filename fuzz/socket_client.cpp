// Fuzzes the client library's socket back end against a hostile server:
// whatever bytes come back for each request, every call returns an HRESULT,
// never reads or writes past the caller's buffers, and never crashes.
#include "client/lib/client.h"
#include "client/lib/socket/protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace {

const std::string& SocketPath() {
    static const std::string path = "/tmp/vetrona-fuzz-" + std::to_string(getpid()) + ".sock";
    return path;
}

int Listener() {
    static int fd = [] {
        const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", SocketPath().c_str());
        ::unlink(SocketPath().c_str());
        if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(s, 2) != 0) std::abort();
        std::atexit([] { ::unlink(SocketPath().c_str()); });
        return s;
    }();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace proto = vetrona::client::socket;
    const int listener = Listener();
    // The server: after each request it reads, it sends the next slice of the
    // input (length-prefixed in the input) as its answer, then hangs up.
    std::thread server([listener, data, size] {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) return;
        size_t at = 0;
        for (;;) {
            // A client still reading a short answer sends nothing: hang up.
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) break;
            uint32_t kind = 0;
            std::vector<uint8_t> request;
            if (proto::ReadFrame(fd, &kind, &request) != proto::ReadResult::Ok || at + 2 > size) break;
            const size_t length = data[at] | (data[at + 1] << 8);
            at += 2;
            const size_t take = std::min(length, size - at);
            std::vector<uint8_t> answer(data + at, data + at + take);
            at += take;
            // Mostly well-framed answers of the right kind, so the checks behind the framing are reached too.
            if (!answer.empty() && (answer[0] & 1)) {
                answer.erase(answer.begin());
                answer = proto::Frame(kind | proto::kResponseFlag, answer);
            }
            if (!proto::WriteAll(fd, answer)) break;
        }
        ::close(fd);
    });
    {
        vetrona::client::Client client(const_cast<char*>(SocketPath().c_str()));
        if (vetrona::client::Succeeded(client.Connect())) {
            std::string version;
            client.GetVersion(&version);
            uint8_t value = 0;
            client.GetMonitor(vetrona::client::Monitor::File, &value);
            client.SetBackupDir(u"\\??\\C:\\Backup");
            vetrona::client::Message message;
            if (vetrona::client::Succeeded(client.Receive(&message, 0))) {
                (void)message.Decode();
                client.Reply(message, 1);
            }
        }
        client.Disconnect();
    }
    server.join();
    return 0;
}
