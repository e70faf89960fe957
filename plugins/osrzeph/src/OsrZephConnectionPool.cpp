#include "OsrZephConnectionPool.h"

#include <grpc/grpc.h>
#include <grpcpp/create_channel.h>

#include <cstdio>
#include <functional>
#include <tuple>
#include <utility>

namespace Zeph {

// ---- ConnectionLease ----------------------------------------------------------------------

ConnectionLease::ConnectionLease(std::shared_ptr<PooledConnection> connection)
    : m_connection(std::move(connection)) {
    if (m_connection)
        ++m_connection->m_channels;
}

ConnectionLease::~ConnectionLease() {
    Release();
}

ConnectionLease::ConnectionLease(ConnectionLease&& other) noexcept
    : m_connection(std::move(other.m_connection)) {}

ConnectionLease& ConnectionLease::operator=(ConnectionLease&& other) noexcept {
    if (this != &other) {
        Release();
        m_connection = std::move(other.m_connection);
    }
    return *this;
}

std::shared_ptr<grpc::Channel> ConnectionLease::GetChannel() const {
    return m_connection ? m_connection->m_channel : nullptr;
}

void ConnectionLease::Release() {
    if (m_connection) {
        --m_connection->m_channels;
        m_connection.reset();
    }
}

// ---- ConnectionPool -----------------------------------------------------------------------

bool ConnectionPool::Key::operator<(const Key& other) const {
    return std::make_tuple(std::cref(m_target), m_credentials.get(), std::cref(m_arguments)) <
           std::make_tuple(std::cref(other.m_target), other.m_credentials.get(),
                           std::cref(other.m_arguments));
}

ConnectionPool::ConnectionPool(int channelsPerConnection) {
    SetChannelsPerConnection(channelsPerConnection);
}

bool ConnectionPool::SetChannelsPerConnection(int channels) {
    if (channels < 1)
        return false;
    m_channelsPerConnection = channels;
    return true;
}

std::string ConnectionPool::DescribeArguments(const grpc::ChannelArguments& arguments) {
    grpc_channel_args raw = arguments.c_channel_args();
    std::string text;
    for (size_t i = 0; i < raw.num_args; ++i) {
        const grpc_arg& arg = raw.args[i];
        text += arg.key;
        switch (arg.type) {
            case GRPC_ARG_STRING:
                text += "=s:";
                text += arg.value.string;
                break;
            case GRPC_ARG_INTEGER:
                text += "=i:" + std::to_string(arg.value.integer);
                break;
            case GRPC_ARG_POINTER: {
                // Pointer arguments are equal only as the same object.
                char pointer[32];
                std::snprintf(pointer, sizeof pointer, "=p:%p", arg.value.pointer.p);
                text += pointer;
                break;
            }
        }
        // Keys and values hold no NUL: it separates the arguments unambiguously.
        text += '\0';
    }
    return text;
}

ConnectionLease ConnectionPool::Acquire(
    const std::string& target, const std::shared_ptr<grpc::ChannelCredentials>& credentials,
    const grpc::ChannelArguments& arguments) {
    std::vector<std::shared_ptr<PooledConnection>>& connections =
        m_connections[Key{target, credentials, DescribeArguments(arguments)}];
    size_t chosen = 0;
    while (chosen < connections.size() &&
           connections[chosen]->m_channels >= m_channelsPerConnection)
        ++chosen;
    // Idle connections behind the chosen one go: after a peak, the pool shrinks as channels
    // close and new ones fill the first connections again.
    for (size_t i = connections.size(); i > chosen + 1; --i) {
        if (connections[i - 1]->m_channels == 0)
            connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i - 1));
    }
    if (chosen == connections.size()) {
        grpc::ChannelArguments own = arguments;
        // A subchannel pool of this channel's own: gRPC's global pool would put it on the
        // connection of every other channel with the same arguments.
        own.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
        auto connection = std::make_shared<PooledConnection>();
        connection->m_channel = grpc::CreateCustomChannel(target, credentials, own);
        if (!connection->m_channel)
            return ConnectionLease();
        // Connect now, while the channel opens, rather than at its first recognition.
        connection->m_channel->GetState(/*try_to_connect=*/true);
        connections.push_back(std::move(connection));
    }
    return ConnectionLease(connections[chosen]);
}

void ConnectionPool::Clear() {
    m_connections.clear();
}

size_t ConnectionPool::GetConnectionCount() const {
    size_t count = 0;
    for (const auto& entry : m_connections)
        count += entry.second.size();
    return count;
}

int ConnectionPool::GetChannelCount() const {
    int count = 0;
    for (const auto& entry : m_connections) {
        for (const auto& connection : entry.second)
            count += connection->m_channels;
    }
    return count;
}

}  // namespace Zeph
