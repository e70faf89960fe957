// The engine's gRPC connections to the service, shared out to its channels.
//
// gRPC puts every channel made with the same target, credentials and arguments on one shared
// HTTP/2 connection, and the service takes a bounded number of concurrent streams on one
// connection (100 for Google's front ends): a call beyond that waits, unseen, until another
// ends. The pool keeps, per target, credentials object and channel arguments, a list of
// connections of its own (each grpc::Channel with a subchannel pool of its own, so a
// connection of its own) and gives each MRCP channel a place on the first connection that
// carries fewer than the limit of channels, opening a new one when all are full (it starts
// connecting at once, so the first recognition on it finds it up or nearly). A channel
// holds its place through a ConnectionLease until it is deleted (one per service endpoint it
// calls: each regional endpoint has connections of its own, OsrZephEndpoint.h). The limit
// stays well below the service's stream cap: an MRCP channel briefly has two calls when a
// cancelled one is still finishing while the next starts, and a deleted channel's last call
// may outlive it.
//
// Threads: construction on the server's thread (the engine's); SetChannelsPerConnection,
// Acquire, Clear and the counts on the engine's event processor thread. A lease is dropped on that
// thread too, or on the server's thread once the processor's thread has ended (a channel deleted
// after the engine closed); a lease touches only its own connection's count, never the pool, so it
// may outlive the pool.
#pragma once

#include <grpcpp/channel.h>
#include <grpcpp/security/credentials.h>
#include <grpcpp/support/channel_arguments.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Zeph {

// One connection of the pool: its gRPC channel and how many MRCP channels use it.
struct PooledConnection {
    std::shared_ptr<grpc::Channel> m_channel;
    int m_channels = 0;
};

// A channel's place on a pooled connection; given back when the lease is dropped.
class ConnectionLease {
public:
    ConnectionLease() = default;
    explicit ConnectionLease(std::shared_ptr<PooledConnection> connection);
    ~ConnectionLease();
    ConnectionLease(ConnectionLease&& other) noexcept;
    ConnectionLease& operator=(ConnectionLease&& other) noexcept;
    ConnectionLease(const ConnectionLease&) = delete;
    ConnectionLease& operator=(const ConnectionLease&) = delete;

    // The connection's gRPC channel; null for an empty lease.
    std::shared_ptr<grpc::Channel> GetChannel() const;
    void Release();

private:
    std::shared_ptr<PooledConnection> m_connection;
};

class ConnectionPool {
public:
    // At most `channelsPerConnection` channels on one connection (at least 1).
    explicit ConnectionPool(int channelsPerConnection);

    // A limit below 1 is refused (FALSE) and the current one stays.
    bool SetChannelsPerConnection(int channels);
    int GetChannelsPerConnection() const { return m_channelsPerConnection; }

    // A place for one more channel on a connection to `target` with these credentials and
    // arguments; an empty lease when gRPC makes no channel. Connections nobody uses that
    // come after the one chosen are let go.
    ConnectionLease Acquire(const std::string& target,
                            const std::shared_ptr<grpc::ChannelCredentials>& credentials,
                            const grpc::ChannelArguments& arguments);
    // Lets go of every connection; leases keep theirs until they are dropped.
    void Clear();

    // Connections the pool keeps (for all targets), and the channels they carry.
    size_t GetConnectionCount() const;
    int GetChannelCount() const;

private:
    struct Key {
        std::string m_target;
        std::shared_ptr<grpc::ChannelCredentials> m_credentials;
        std::string m_arguments;  // every argument, as text
        bool operator<(const Key& other) const;
    };

    static std::string DescribeArguments(const grpc::ChannelArguments& arguments);

    int m_channelsPerConnection = 1;
    std::map<Key, std::vector<std::shared_ptr<PooledConnection>>> m_connections;
};

}  // namespace Zeph
