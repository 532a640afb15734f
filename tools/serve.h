// vetrona-sim serve: the driver's control device and communication port on
// a Unix socket, so that a separate program (vetrona-client, or any client
// built on the client library) is the driver's client.
#pragma once

#include "tools/scenario_run.h"

#include <cstdint>
#include <functional>
#include <map>
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

private:
    _EPROCESS* process_;
    ScenarioRun* observer_;
    void* port_ = nullptr;
    void* device_ = nullptr;
    bool receivedOnce_ = false;
    std::map<uint64_t, std::vector<uint8_t>> pending_;  // messages handed out, by id, until replied
};

}  // namespace vsim
