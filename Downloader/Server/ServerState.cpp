#include "ServerState.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "CoverageCounts.h"

namespace IPC {

namespace {

void Link(ConnectionEntry*& head, ConnectionEntry& entry) noexcept
{
    entry.previous = nullptr;
    entry.next = head;
    if (head != nullptr)
        head->previous = &entry;
    head = &entry;
}

void Unlink(ConnectionEntry*& head, ConnectionEntry& entry) noexcept
{
    if (entry.previous != nullptr)
        entry.previous->next = entry.next;
    else
        head = entry.next;
    if (entry.next != nullptr)
        entry.next->previous = entry.previous;
    entry.previous = entry.next = nullptr;
}

} // namespace

bool ServerState::Stop() noexcept
{
    stopping_ = true;
    Changed();
    return Done();
}

bool ServerState::ReserveInstance() noexcept
{
    if (stopping_ || pausing_ || listening_ >= limits_.listening || listening_ + bound_ >= limits_.connections)
        return false;
    ++making_;
    ++listening_;
    Changed();
    return true;
}

bool ServerState::InstanceNotMade() noexcept
{
    Decrement(making_, "making");
    Decrement(listening_, "listening");
    Changed();
    return Done();
}

bool ServerState::InstanceMade(ConnectionEntry& entry) noexcept
{
    Decrement(making_, "making");
    entry.stage = Stage::Listening;
    Link(live_, entry);
    ++alive_;
    if (stopping_) {
        End(entry);
        return false;
    }
    Changed();
    return true;
}

bool ServerState::StartPause() noexcept
{
    if (pausing_)
        return false;
    pausing_ = true;
    return true;
}

Admission ServerState::Connect(ConnectionEntry& entry, ULONG processId) noexcept
{
    Decrement(listening_, "listening");
    entry.number = ++clients_;
    entry.processId = processId;
    entry.stage = Stage::Reading;
    Admission admission = Admission::Read;
    try {
        ProcessCount& process = processes_[processId];
        if (process.share < limits_.share) {
            ++process.share;
            ++bound_;
            entry.budget = Budget::Bound;
            entry.countedForProcess = true;
        } else if (process.reserve < limits_.reserve) {
            ++process.reserve;
            entry.budget = Budget::Reserve;
            entry.countedForProcess = true;
        } else {
            entry.stage = Stage::Held;
            admission = Admission::Held;
        }
    } catch (const std::bad_alloc&) {
        // No entry for its process: it cannot be counted, so it is not let in.
        admission = Admission::NoMemory;
    }
    Changed();
    return admission;
}

void ServerState::Whole(ConnectionEntry& entry) noexcept
{
    LeaveProcess(entry);
    entry.stage = Stage::Queued;
    Changed();
}

void ServerState::Handling(ConnectionEntry& entry) noexcept
{
    entry.stage = Stage::Handling;
    Changed();
}

void ServerState::Writing(ConnectionEntry& entry) noexcept
{
    entry.stage = Stage::Writing;
    Changed();
}

void ServerState::End(ConnectionEntry& entry) noexcept
{
    if (entry.stage == Stage::Listening)
        Decrement(listening_, "listening");
    LeaveProcess(entry);
    if (entry.budget == Budget::Bound)
        Decrement(bound_, "bound");
    entry.budget = Budget::None;
    entry.stage = Stage::Ended;
    Unlink(live_, entry);
    entry.next = ended_;
    ended_ = &entry;
    Changed();
}

ConnectionEntry* ServerState::TakeEnded() noexcept
{
    ConnectionEntry* const ended = ended_;
    ended_ = nullptr;
    return ended;
}

bool ServerState::Freed(int count) noexcept
{
    for (int i = 0; i < count; ++i)
        Decrement(alive_, "alive");
    Changed();
    return Done();
}

void ServerState::Decrement(int& count, const char* name) noexcept
{
    if (count > 0) {
        --count;
        return;
    }
    if (fault_ == nullptr)
        fault_ = name;
}

void ServerState::LeaveProcess(ConnectionEntry& entry) noexcept
{
    if (!entry.countedForProcess)
        return;
    entry.countedForProcess = false;
    const auto process = processes_.find(entry.processId);
    if (process == processes_.end()) {
        fault_ = fault_ != nullptr ? fault_ : "process";
        return;
    }
    Decrement(entry.budget == Budget::Bound ? process->second.share : process->second.reserve,
              entry.budget == Budget::Bound ? "share" : "reserve");
    if (process->second.share == 0 && process->second.reserve == 0)
        processes_.erase(process);
}

const char* ServerState::Broken() const
{
    if (fault_ != nullptr)
        return fault_;
    int listening = making_;
    int bound = 0;
    int alive = 0;
    std::map<ULONG, ProcessCount> processes;
    for (const ConnectionEntry* entry = live_; entry != nullptr; entry = entry->next) {
        ++alive;
        listening += entry->stage == Stage::Listening;
        bound += entry->budget == Budget::Bound;
        if (entry->countedForProcess)
            ++(entry->budget == Budget::Bound ? processes[entry->processId].share
                                              : processes[entry->processId].reserve);
    }
    for (const ConnectionEntry* entry = ended_; entry != nullptr; entry = entry->next)
        ++alive;
    if (listening != listening_)
        return "listening";
    if (bound != bound_)
        return "bound";
    if (listening_ + bound_ > limits_.connections)
        return "connections";
    // Those taken to be freed are counted until Freed().
    if (alive > alive_)
        return "alive";
    if (processes.size() != processes_.size())
        return "process";
    for (const auto& process : processes_) {
        const auto counted = processes.find(process.first);
        if (counted == processes.end() || counted->second.share != process.second.share)
            return "share";
        if (counted->second.reserve != process.second.reserve)
            return "reserve";
        if (process.second.share > limits_.share || process.second.reserve > limits_.reserve)
            return "process";
    }
    return nullptr;
}

void ServerState::Changed() const noexcept
{
#ifndef NDEBUG
    // A recount after every change, in debug builds: a count that has drifted from the records stops the
    // process here, named, rather than shows far away as a server that no longer listens.
    try {
        if (const char* broken = Broken()) {
            OutputDebugStringA("IPC::PipeServer: the count that no longer matches its records: ");
            OutputDebugStringA(broken);
            OutputDebugStringA("\n");
            std::fprintf(stderr, "IPC::PipeServer: the count that no longer matches its records: %s\n", broken);
            WriteCoverageCounts();
            std::abort();
        }
    } catch (const std::bad_alloc&) {
        // No memory for the recount: this change goes unchecked.
    }
#endif
}

} // namespace IPC
