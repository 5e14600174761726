// The demo programs as a user runs them: a reader and a writer started from a JSON file find each
// other, exchange messages over a Unix-domain socket and end by themselves with status 0, and a
// reader that is kept from running while the writer starts (a busy machine) still gets them all.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <string>

#include "support/zqtest.h"

namespace {

class DemoNsTest : public zqtest::NsTest {};

TEST_F(DemoNsTest, WriterAndReaderExchangeMessagesAndEndByThemselves)
{
#ifndef ZQ_EXAMPLES_DIR
    GTEST_SKIP() << "the examples are not built (ZQDDS_BUILD_EXAMPLES=OFF)";
#else
    const std::string config = "/tmp/s2e_demo.json"; // this test's own /tmp
    {
        std::ofstream out(config);
        out << R"({
    "domain": { "id": 716, "multicastIp": "239.71.0.6", "multicastPort": 57195, "period": 1 },
    "network": { "ethName": "lo" },
    "transport": { "portRange": "57196-57199", "domainSockRange": "7190-7193", "shmKeyRange": "7190-7193" },
    "mempool": { "maxSize": 33554432 }
})";
    }
    const std::string dir = ZQ_EXAMPLES_DIR;
    std::string error;
    auto reader = zqtest::ChildProcess::spawn(
        {dir + "/demo_reader", "--config", config, "--topic", "s2e_demo", "--wait", "30"}, &error);
    ASSERT_NE(reader, nullptr) << error;
    auto writer = zqtest::ChildProcess::spawn({dir + "/demo_writer", "--config", config, "--topic", "s2e_demo",
                                               "--count", "30", "--rate", "100", "--size", "5000", "--wait", "30"},
                                              &error);
    ASSERT_NE(writer, nullptr) << error;

    // The writing side counts the reader before the reading side has opened its end. The reader
    // is held from then until the writer has sent everything or waits for the reader to receive.
    ASSERT_TRUE(writer->waitForLine("[writer] reader connected", 60000)) << writer->output();
    reader->signal(SIGSTOP);
    const bool writerWaited = zqtest::waitUntil(
        [&] {
            const std::string& out = writer->output();
            return out.find("warming up") != std::string::npos ||
                   out.find("[writer] sent 30 messages") != std::string::npos;
        },
        30000);
    reader->signal(SIGCONT);
    ASSERT_TRUE(writerWaited) << writer->output();

    ASSERT_TRUE(reader->waitForLine("[reader] done", 60000)) << reader->output();
    ASSERT_NE(reader->wait(20000), -1);
    EXPECT_EQ(reader->exitCode(), 0) << reader->output();
    ASSERT_TRUE(writer->waitForLine("[writer] done", 20000)) << writer->output();
    ASSERT_NE(writer->wait(20000), -1);
    EXPECT_EQ(writer->exitCode(), 0) << writer->output();

    const std::string& in = reader->output();
    EXPECT_NE(in.find("[reader] received 30 of 30 messages (0 lost, 0 out of order"), std::string::npos) << in;
    EXPECT_NE(in.find("[reader]   latency (writer's time stamp to here): median "), std::string::npos) << in;
    EXPECT_NE(in.find("data channels [unix socket 7190], state subscribed"), std::string::npos) << in;
    const std::string& out = writer->output();
    EXPECT_NE(out.find("[writer] sent 30 messages (0 refused)"), std::string::npos) << out;
    EXPECT_NE(out.find("control port 57196, data channels [unix socket 7190], readers 1"), std::string::npos) << out;
#endif
}

} // namespace
