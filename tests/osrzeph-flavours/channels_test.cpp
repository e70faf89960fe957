// The "api" channel attribute through the real host: each channel of one server gets the
// session stub of the flavour it names.
#include <gtest/gtest.h>

#include <string>

#include "../osrzeph-channel/scenario_run.h"

namespace {

using ZephChannelTest::RunResult;
using ZephChannelTest::ServerRoot;

TEST(FlavourChannels, EachChannelCreatesTheStubItsApiNames) {
    ServerRoot root;
    ASSERT_FALSE(root.Path().empty());
    // A loopback address where nothing listens: opening a channel reaches no service.
    root.WriteConfig("127.0.0.1:1", "api=\"v2beta1\"");
    RunResult run =
        root.Run("channel A api=v2\nchannel B api=v3beta1\nchannel C\nclose A\nclose B\nclose C\n");
    EXPECT_EQ(run.status, 0) << run.log;
    EXPECT_NE(run.log.find("Create gRPC Session Stub [v2] <A@zeph>"), std::string::npos) << run.log;
    EXPECT_NE(run.log.find("Create gRPC Session Stub [v3beta1] <B@zeph>"), std::string::npos)
        << run.log;
    // Without the attribute the configured flavour applies.
    EXPECT_NE(run.log.find("Create gRPC Session Stub [v2beta1] <C@zeph>"), std::string::npos)
        << run.log;
    EXPECT_EQ(run.log.find("Failed to Create gRPC"), std::string::npos) << run.log;
    EXPECT_EQ(run.log.find("Unknown API"), std::string::npos) << run.log;
    EXPECT_EQ(run.messages, "");
}

}  // namespace
