// Connections from one NM client to the receivers of channel indexes, cached for reuse.
#pragma once

#include <pthread.h>
#include <cstdint>
#include <map>

namespace NM {

/// Turns a channel index into a side-channel connection to the receiver that currently serves it.
/// Every NMClient holds one. Its cache mutex is taken after the registry mutex, a slot mutex or
/// the client's deferred-queue mutex, never before them.
class ConnectionManagement {
public:
    ConnectionManagement();
    virtual ~ConnectionManagement();
    ConnectionManagement(const ConnectionManagement&) = delete;
    ConnectionManagement& operator=(const ConnectionManagement&) = delete;

    /// Attaches "/Notification" unless this process is attached already. Returns the header
    /// address as an integer, or -1. Only the instance that maps it keeps its descriptor.
    std::intptr_t attachRegistry();
    /// Connection id to the receiver of `channelIndex` (an index inside the registry), or -1
    /// when the slot has no receiver or the connection could not be made.
    int getConnection(int channelIndex);
    /// After a send on `connectionId` failed: detaches that connection and declares its receiver
    /// gone for every process, unless the slot names another receiver by now (one that replaced
    /// it while the send waited). Takes no registry lock: the caller holds the slot mutex.
    void dropConnection(int channelIndex, int connectionId);
    /// Withdraws receiver `pid`/`chid` from `channelIndex` (under the slot mutex, and only while
    /// the slot still names it) and detaches a cached connection to the index.
    void withdraw(int channelIndex, int pid, int chid);

private:
    struct Entry {
        int pid;           ///< receiver the connection was made to; -1: no usable connection
        int chid;          ///< its channel: a receiver that made a new channel gets a new connection
        int connectionId;  ///< -1: none
    };
    int attach(Entry& entry, int pid, int chid);
    /// Detaches the cached connection of `channelIndex` when it is `connectionId` (any when -1);
    /// returns what it was made to ({-1, -1, -1} when nothing matched).
    Entry forget(int channelIndex, int connectionId);
    int registryDescriptor_ = -1;
    pthread_mutex_t cacheMutex_;
    std::map<int, Entry> cache_;  ///< guarded by cacheMutex_
};

}  // namespace NM
