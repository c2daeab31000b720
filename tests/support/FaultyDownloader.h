// Downloaders of the tests' own, each breaking one part of the contract on purpose, for the downloader
// check to find: a thread that keeps an instance listening and serves each client on a thread of its own.
// Otherwise they keep it: a request that is not the notice is answered false, and where the test runs
// elevated the instances carry the elevated downloader's own security.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Handles.h"

enum class Fault {
    FirstClientOnly,        // answers its first client; later ones it reads and closes
    StopsAtLook,            // ends when a client leaves without a request, before it answers a later client
    NoInstanceWhileServing, // makes the next instance only after it has served one, and longer after than a
                            // client's pause between attempts
    ByteMode,               // a byte-mode pipe, which a client cannot switch to message mode
    TwoReplies,             // answers every request twice
    SlowReply,              // answers its first request later than the check waits
    EndsOnUnexpected,       // ends on a request that is not the notice, and is not empty or long
    AnswersFalse,           // answers false
    TrueToAnything,         // answers true to every message, the notice or not
    ReadsInTurn,            // reads each request on its listener, one client after another
    DisconnectsAfterReply,  // disconnects the instance a sixth of slowMs after its reply's write
    FewPerProcess,          // closes at once a client whose process holds two connections, each answered after
                            // a third of slowMs
};

class FaultyDownloader {
public:
    // The first instance is there when it returns; slowMs is how late the slow reply comes.
    FaultyDownloader(std::wstring name, Fault fault, DWORD slowMs);
    ~FaultyDownloader();
    FaultyDownloader(const FaultyDownloader&) = delete;
    FaultyDownloader& operator=(const FaultyDownloader&) = delete;

private:
    static DWORD WINAPI ListenMain(void* self);
    void Listen();
    // Ends the listeners, each of which may be between its look at the stop and its wait for a client.
    void EndListener();
    bool Stopped() const { return WaitForSingleObject(stop_.get(), 0) != WAIT_TIMEOUT; }
    // Reads the client's request unless the listener has read it already.
    void Serve(UniqueFile pipe, unsigned client, std::optional<std::string> request);
    UniqueFile NewInstance() const;

    const std::wstring name_;
    const Fault fault_;
    const DWORD slowMs_;
    UniqueHandle stop_;         // set to end, by the destructor or by a fault
    LocalPtr<void> descriptor_; // the elevated downloader's, or none
    std::mutex mutex_;
    std::vector<std::thread> sessions_;
    std::map<ULONG, unsigned> held_;      // of FewPerProcess: the connections each client process holds
    UniqueFile first_;                    // the first instance, there before the constructor returns
    std::vector<UniqueHandle> listeners_; // last: their threads use all of the above
};
