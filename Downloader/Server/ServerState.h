// What the server's callbacks share: every connection's record and every count that the bound, the reserve
// and the stop are decided by, under one lock. Each change of a connection's stage is one method here, so
// that no count is kept anywhere else; debug builds recount them all from the records after every change.
#pragma once

#include <windows.h>

#include <map>

#include "ExclusiveLock.h"

namespace IPC {

// A connection's way through the server, in order; any stage may end it.
enum class Stage {
    Listening, // its instance waits for a client
    Reading,   // a client is connected; its request is still coming
    Held,      // a client past its process's share and reserve: nothing it sends is read, until its deadline
    Queued,    // the request is whole and waits for a handler
    Handling,  // a handler runs for it
    Writing,   // the reply is being written
    Ended,     // done with: it waits to be freed
};

// What a connection counts against while it lives: the server's bound (maxConnections), or its process's
// reserve beyond the bound while its request is still coming; nothing while it listens or is held.
enum class Budget { None, Bound, Reserve };

// What the state knows of a connection; the record that the server's callbacks use is built on it.
struct ConnectionEntry {
    ConnectionEntry* previous = nullptr;
    ConnectionEntry* next = nullptr;
    Stage stage = Stage::Listening;
    Budget budget = Budget::None;
    bool countedForProcess = false; // in its process's share or reserve: from its connection until its request is whole
    ULONG processId = 0;            // the client's, 0 when unknown
    unsigned long number = 0;       // clients are numbered from 1 in the order they connected
};

struct ServerLimits {
    int listening;   // instances listening ahead of clients
    int connections; // maxConnections: listening instances and connections counted against the bound
    int share;       // maxConnectionsPerProcess
    int reserve;     // each process's reserve beyond its share
};

// How a connection was let in.
enum class Admission { Read, Held, NoMemory };

// Invariants, under the lock, after every change (ServerState::Broken() names the first that does not hold):
//   listening   == the records in Listening, plus the instances being made;
//   bound       == the records with Budget::Bound;
//   listening + bound <= limits.connections;
//   for each process, share and reserve == its records with countedForProcess and that budget, every entry
//                  non-zero, share <= limits.share and reserve <= limits.reserve;
//   alive       == the records on the live list, plus those ended and not yet freed;
//   no count below zero: a decrement past zero is a fault, named and never wrapped;
//   after the stop, no instance is reserved, and one made meanwhile is ended at once.
class ServerState {
public:
    explicit ServerState(const ServerLimits& limits) noexcept : limits_(limits) {}
    ServerState(const ServerState&) = delete;
    ServerState& operator=(const ServerState&) = delete;

    // Everything below is called with the lock held.
    SRWLOCK& Lock() noexcept { return lock_; }

    const ServerLimits& Limits() const noexcept { return limits_; }
    bool Stopping() const noexcept { return stopping_; }
    // The stop has come, no instance is being made, and every record has been freed.
    bool Done() const noexcept { return stopping_ && making_ == 0 && alive_ == 0; }
    // From now on no instance is reserved; answers Done().
    bool Stop() noexcept;
    // The records on the live list, for a walk over them.
    ConnectionEntry* First() const noexcept { return live_; }

    // A place for one more listening instance, if the limits and the stop allow one and no pause is on.
    bool ReserveInstance() noexcept;
    // The reserved instance could not be made: its place is given back. Answers Done().
    bool InstanceNotMade() noexcept;
    // The reserved instance exists: its record joins the live list, listening; or, once the stop has come,
    // false, and it is ended at once.
    bool InstanceMade(ConnectionEntry& entry) noexcept;
    // A pause after a failure: false when one is on already.
    bool StartPause() noexcept;
    void EndPause() noexcept { pausing_ = false; }

    // Its client came: numbered, and counted against its process's share, its reserve, or neither (held).
    Admission Connect(ConnectionEntry& entry, ULONG processId) noexcept;
    // The request is whole: it leaves its process's count and waits for a handler.
    void Whole(ConnectionEntry& entry) noexcept;
    void Handling(ConnectionEntry& entry) noexcept;
    void Writing(ConnectionEntry& entry) noexcept;
    // Done with, at any stage: every count it held is given back, and it waits to be freed.
    void End(ConnectionEntry& entry) noexcept;
    // The ended records, handed to the caller to free; then Freed(count), which answers Done().
    ConnectionEntry* TakeEnded() noexcept;
    bool Freed(int count) noexcept;

    // The first invariant that does not hold, by the name of its count, or nullptr.
    const char* Broken() const;

private:
    struct ProcessCount {
        int share = 0;
        int reserve = 0;
    };

    void Decrement(int& count, const char* name) noexcept;
    void LeaveProcess(ConnectionEntry& entry) noexcept;
    void Changed() const noexcept;

    const ServerLimits limits_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    bool stopping_ = false;
    bool pausing_ = false;
    int making_ = 0;
    int listening_ = 0;
    int bound_ = 0;
    int alive_ = 0;
    unsigned long clients_ = 0;
    std::map<ULONG, ProcessCount> processes_;
    ConnectionEntry* live_ = nullptr;
    ConnectionEntry* ended_ = nullptr; // linked through `next`
    const char* fault_ = nullptr;      // the first count that a decrement would have taken below zero
};

} // namespace IPC
