// Several threads receiving the driver's messages and answering them at once,
// so that a watched thread waits behind another's verdict only for the time
// the client spends deciding, not for the other's whole round trip.
//
// Each worker has a lane of its own (Transport::OpenLanes): on Windows an
// outstanding overlapped FilterGetMessage of its own, through vetrona-sim
// serve a connection of its own. Deciding is done one message at a time,
// under one lock, so whatever the decision reads and records (the process
// starts seen, the summary, the output lines, a journal) stays consistent and
// in the order the messages were decided; the driver sends a thread's next
// message only after the verdict on its last, so the messages of one thread,
// and a process's start before anything the process does, keep their order.
// Receiving and replying run outside the lock, in parallel.
#pragma once

#include "client/lib/client.h"

#include <functional>

namespace vetrona::client {

// The most workers a client runs: each holds a receive of its own at the
// port (and, through the socket, a connection of the server's).
constexpr int kMaxWorkers = 64;

// The workers a client starts unless told: one per processor, 1 to kMaxWorkers.
int DefaultWorkers();

class AnswerWorkers {
public:
    // Decides one message, with the lock held: the verdict to reply with
    // (sent only when the message wants one).
    using Decide = std::function<Verdict(const Message& message)>;
    // Asked with the lock held, after each decision and each receive that
    // ran out: true stops every worker.
    using Stop = std::function<bool(bool timedOut)>;

    // Runs up to `workers` workers (as many lanes as the transport grants;
    // *granted says how many) until `stop` says so, or until a receive fails
    // with anything but a timeout; that failure is returned (kOk otherwise).
    // A message received is always decided and answered, also one received
    // while another worker stops the rest: nothing taken from the driver is
    // dropped. `sliceMs` bounds each receive's wait, so stop is asked often.
    static HResult Run(Client& client, int workers, const Decide& decide, const Stop& stop, int* granted = nullptr,
                       int sliceMs = 250);
};

}  // namespace vetrona::client
