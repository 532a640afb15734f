// vetrona-sim serve: the driver's control device and communication port on
// a Unix socket, so that a separate program (vetrona-client, or any client
// built on the client library) is the driver's client.
#pragma once

#include "tools/scenario_run.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct _EPROCESS;

namespace vsim {

struct ServeOptions {
    std::string socketPath;
    std::string scenarioFile;  // empty: a bare machine (volume C:), no workload
    int clients = 0;           // stop after this many connections ended (0: until interrupted)
    RunOptions run;
};

std::string DefaultSocketPath();

// Serves until interrupted, until `clients` connections have ended, or (with a
// scenario) until the workload has run and been checked. Returns the exit
// status as `vetrona-sim run` does.
int Serve(const ServeOptions& options);

// One peer's requests, answered as its simulated process: the state of one
// connection and the handler of one request frame. Used by the server and by
// the fuzz target for hostile peers.
class PeerSession {
public:
    // `observer` (may be null) sees each message handed to the peer and the
    // verdict it replied with.
    PeerSession(_EPROCESS* process, ScenarioRun* observer);
    ~PeerSession();
    PeerSession(const PeerSession&) = delete;
    PeerSession& operator=(const PeerSession&) = delete;

    // Answers one request; false when the connection must end (a malformed
    // request: the response is then an error frame). `peerGone` is polled
    // during long waits.
    bool Handle(uint32_t kind, const std::vector<uint8_t>& payload, std::vector<uint8_t>* response,
                const std::function<bool()>& peerGone = nullptr);
    // Closes what the peer holds (as the end of a client process would).
    void Close();
    bool receivedOnce() const { return receivedOnce_; }
    // The token a Hello on this connection gives, for lanes to attach with
    // (0: none, a side connection's).
    void SetToken(uint64_t token) { token_ = token; }

private:
    // The port handle as it stands (null once closed).
    void* Port();

    _EPROCESS* process_;
    ScenarioRun* observer_;
    uint64_t token_ = 0;
    // GetMessage and Reply come from the client's connection and its lanes'
    // at once: the handles and the messages handed out are kept under this.
    std::mutex stateLock_;
    void* port_ = nullptr;
    void* device_ = nullptr;
    std::atomic<bool> receivedOnce_{false};
    std::map<uint64_t, std::vector<uint8_t>> pending_;  // messages handed out, by id, until replied
};

}  // namespace vsim
