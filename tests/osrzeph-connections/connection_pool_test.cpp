// The engine's connection pool: channels fill a connection up to the limit, then the next
// one; places come back when leases are dropped; connections are told apart by target,
// credentials object and arguments; and two connections of the pool are two connections at
// the service (dialogflow-sim over TLS records the client's end of each stream's
// connection), where gRPC on its own puts equal channels on one.
// Also the endpoint a recognition goes to and how an endpoint is reached.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <grpcpp/create_channel.h>
#include <grpcpp/security/credentials.h>

#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../dialogflow-sim/sim_client.h"
#include "../osrzeph-channel/scenario_run.h"
#include "OsrZephConnectionPool.h"
#include "OsrZephEndpoint.h"
#include "sim_process.h"
#include "test_audio.h"

namespace {

using Zeph::ConnectionLease;
using Zeph::ConnectionPool;

// A loopback address where nothing listens: gRPC makes channels to it without connecting.
const char kNowhere[] = "127.0.0.1:1";

std::shared_ptr<grpc::ChannelCredentials> Insecure() {
    return grpc::InsecureChannelCredentials();
}

TEST(ConnectionPool, ChannelsFillAConnectionUpToTheLimitThenTheNext) {
    ConnectionPool pool(2);
    auto credentials = Insecure();
    grpc::ChannelArguments arguments;
    std::vector<ConnectionLease> leases;
    for (int i = 0; i < 5; ++i)
        leases.push_back(pool.Acquire(kNowhere, credentials, arguments));
    for (const ConnectionLease& lease : leases)
        ASSERT_NE(lease.GetChannel(), nullptr);
    EXPECT_EQ(leases[0].GetChannel(), leases[1].GetChannel());
    EXPECT_NE(leases[1].GetChannel(), leases[2].GetChannel());
    EXPECT_EQ(leases[2].GetChannel(), leases[3].GetChannel());
    EXPECT_NE(leases[3].GetChannel(), leases[4].GetChannel());
    EXPECT_NE(leases[0].GetChannel(), leases[4].GetChannel());
    EXPECT_EQ(pool.GetConnectionCount(), 3u);
    EXPECT_EQ(pool.GetChannelCount(), 5);

    // A place given back on the first connection is the next one taken.
    std::shared_ptr<grpc::Channel> first = leases[0].GetChannel();
    leases[1].Release();
    EXPECT_EQ(leases[1].GetChannel(), nullptr);
    EXPECT_EQ(pool.GetChannelCount(), 4);
    leases[1] = pool.Acquire(kNowhere, credentials, arguments);
    EXPECT_EQ(leases[1].GetChannel(), first);
    EXPECT_EQ(pool.GetConnectionCount(), 3u);

    // A lease moved keeps its place once; one assigned over gives its old place back.
    ConnectionLease moved = std::move(leases[4]);
    EXPECT_EQ(pool.GetChannelCount(), 5);
    moved = pool.Acquire(kNowhere, credentials, arguments);
    EXPECT_EQ(pool.GetChannelCount(), 5);
    EXPECT_EQ(pool.GetConnectionCount(), 3u);

    // After the peak: the idle connections behind the one handed out are let go.
    moved.Release();
    leases[2].Release();
    leases[3].Release();
    EXPECT_EQ(pool.GetChannelCount(), 2);
    ConnectionLease again = pool.Acquire(kNowhere, credentials, arguments);
    EXPECT_NE(again.GetChannel(), first);
    EXPECT_EQ(pool.GetConnectionCount(), 2u);
    EXPECT_EQ(pool.GetChannelCount(), 3);
}

TEST(ConnectionPool, TargetCredentialsAndArgumentsKeepConnectionsApart) {
    ConnectionPool pool(10);
    auto credentials = Insecure();
    auto otherCredentials = Insecure();
    grpc::ChannelArguments arguments;
    grpc::ChannelArguments equalArguments;
    grpc::ChannelArguments largerReceive;
    largerReceive.SetMaxReceiveMessageSize(1 << 24);
    ConnectionLease base = pool.Acquire(kNowhere, credentials, arguments);
    ConnectionLease same = pool.Acquire(kNowhere, credentials, equalArguments);
    ConnectionLease target = pool.Acquire("127.0.0.1:2", credentials, arguments);
    ConnectionLease otherObject = pool.Acquire(kNowhere, otherCredentials, arguments);
    ConnectionLease receive = pool.Acquire(kNowhere, credentials, largerReceive);
    EXPECT_EQ(base.GetChannel(), same.GetChannel());
    std::set<grpc::Channel*> channels = {base.GetChannel().get(), target.GetChannel().get(),
                                         otherObject.GetChannel().get(),
                                         receive.GetChannel().get()};
    EXPECT_EQ(channels.size(), 4u);
    EXPECT_EQ(pool.GetConnectionCount(), 4u);
}

// The endpoint of a recognition: its region's while "service-uri" is the global endpoint;
// only a location id may become part of a host name.
TEST(ServiceEndpoint, RegionsFromTheGlobalEndpointOnly) {
    const char* const cases[][3] = {
        // service-uri, location, endpoint
        {"dialogflow.googleapis.com", "", "dialogflow.googleapis.com"},
        {"dialogflow.googleapis.com", "global", "dialogflow.googleapis.com"},
        {"dialogflow.googleapis.com", "europe-west1", "europe-west1-dialogflow.googleapis.com"},
        {"dialogflow.googleapis.com:443", "us-east1", "us-east1-dialogflow.googleapis.com:443"},
        {"localhost:4430", "europe-west1", "localhost:4430"},
        {"dialogflow.googleapis.com.proxy:443", "europe-west1",
         "dialogflow.googleapis.com.proxy:443"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Zeph::ServiceEndpoint(c[0], c[1]), c[2]) << c[0] << " " << c[1];
    for (const char* good : {"global", "europe-west1", "a"})
        EXPECT_TRUE(Zeph::IsLocationId(good)) << good;
    for (const std::string& bad :
         std::vector<std::string>{"", "Europe-west1", "1abc", "evil.com/x", "a.b", "x:1", "a b",
                                  "-x", std::string(64, 'a')})
        EXPECT_FALSE(Zeph::IsLocationId(bad)) << bad;
}

// "endpoint-addresses": a listed endpoint is reached at its address and still called by its
// name; a malformed value changes nothing.
TEST(ServiceEndpoint, AddressesKeepTheEndpointAsAuthority) {
    Zeph::EndpointAddresses addresses;
    EXPECT_TRUE(
        Zeph::ParseEndpointAddresses("  a.example=127.0.0.1:1  b.example=[::1]:2 ", addresses));
    EXPECT_EQ(addresses.size(), 2u);
    for (const char* bad : {"a.example", "=127.0.0.1:1", "a.example=", "c=1 d"})
        EXPECT_FALSE(Zeph::ParseEndpointAddresses(bad, addresses)) << bad;
    EXPECT_EQ(addresses.size(), 2u);
    auto authorityOf = [](const grpc::ChannelArguments& arguments) {
        grpc_channel_args raw = arguments.c_channel_args();
        for (size_t i = 0; i < raw.num_args; ++i) {
            if (std::string(raw.args[i].key) == GRPC_ARG_DEFAULT_AUTHORITY)
                return std::string(raw.args[i].value.string);
        }
        return std::string("none");
    };
    grpc::ChannelArguments listed;
    EXPECT_EQ(Zeph::EndpointTarget("b.example", addresses, listed), "[::1]:2");
    EXPECT_EQ(authorityOf(listed), "b.example");
    grpc::ChannelArguments other;
    EXPECT_EQ(Zeph::EndpointTarget("c.example:443", addresses, other), "c.example:443");
    EXPECT_EQ(authorityOf(other), "none");
}

TEST(ConnectionPool, LeasesOutliveTheClearedAndDestroyedPool) {
    ConnectionLease kept;
    {
        ConnectionPool pool(1);
        EXPECT_FALSE(pool.SetChannelsPerConnection(0));
        EXPECT_FALSE(pool.SetChannelsPerConnection(-1));
        EXPECT_EQ(pool.GetChannelsPerConnection(), 1);
        kept = pool.Acquire(kNowhere, Insecure(), grpc::ChannelArguments());
        pool.Clear();
        EXPECT_EQ(pool.GetConnectionCount(), 0u);
        // The cleared pool opens a new connection rather than hand out the kept one.
        ConnectionLease fresh = pool.Acquire(kNowhere, Insecure(), grpc::ChannelArguments());
        EXPECT_NE(fresh.GetChannel(), kept.GetChannel());
    }
    EXPECT_NE(kept.GetChannel(), nullptr);
    kept.Release();
    EXPECT_EQ(kept.GetChannel(), nullptr);
}

// The peers the sim recorded, one per stream, in order.
std::vector<std::string> RecordedPeers(const std::string& path) {
    std::vector<std::string> peers;
    std::istringstream in(ZephChannelTest::ReadFile(path));
    std::string line;
    while (std::getline(in, line)) {
        rapidjson::Document record;
        record.Parse(line.c_str());
        if (!record.HasParseError() && record.IsObject() && record.HasMember("peer"))
            peers.push_back(record["peer"].GetString());
    }
    return peers;
}

// One short stream on `channel`, recorded by the sim when it ends.
void Converse(const std::shared_ptr<grpc::Channel>& channel, const std::string& session) {
    ZephTest::SimStream<ZephTest::V2Client> stream(channel);
    ASSERT_TRUE(stream.Write(ZephTest::V2Client::Text(ZephTest::V2Client::Session(session), "hi")));
    EXPECT_TRUE(stream.Finish().ok());
}

TEST(ConnectionPool, TwoPooledConnectionsAreTwoConnectionsAtTheService) {
    ZephTest::UseTestCredentials();
    const std::string dir = ZephTest::MakeTempDir("zeph-pool");
    ASSERT_FALSE(dir.empty());
    const std::string record = dir + "/streams.jsonl";
    ZephTest::SimProcess sim;
    ASSERT_TRUE(sim.Start({"--record", record}));
    auto credentials = grpc::GoogleDefaultCredentials();
    grpc::ChannelArguments arguments;
    {
        // gRPC alone: two channels with equal arguments share one connection.
        auto first = grpc::CreateCustomChannel(sim.target(), credentials, arguments);
        auto second = grpc::CreateCustomChannel(sim.target(), credentials, arguments);
        Converse(first, "plain-1");
        Converse(second, "plain-2");
    }
    {
        ConnectionPool pool(1);
        ConnectionLease first = pool.Acquire(sim.target(), credentials, arguments);
        ConnectionLease second = pool.Acquire(sim.target(), credentials, arguments);
        ASSERT_NE(first.GetChannel(), nullptr);
        ASSERT_NE(second.GetChannel(), nullptr);
        Converse(first.GetChannel(), "pooled-1");
        Converse(second.GetChannel(), "pooled-2");
        Converse(first.GetChannel(), "pooled-1-again");
    }
    EXPECT_EQ(sim.Stop(), 0);
    std::vector<std::string> peers = RecordedPeers(record);
    ASSERT_EQ(peers.size(), 5u);
    EXPECT_EQ(peers[0], peers[1]);
    EXPECT_NE(peers[2], peers[3]);
    EXPECT_EQ(peers[2], peers[4]);
    EXPECT_NE(peers[2], peers[0]);
    EXPECT_NE(peers[3], peers[0]);
    ZephTest::RunCommand("rm -rf '" + dir + "'");
}

}  // namespace
