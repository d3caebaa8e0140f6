#include "server/LaunchOptions.h"

#include <gtest/gtest.h>

using quorvi::parseLaunchOptions;

TEST(LaunchOptions, PortAndHeadlessAreRead) {
    const auto parsed = parseLaunchOptions({"--headless", "--port", "54999"});
    ASSERT_TRUE(parsed.options);
    EXPECT_TRUE(parsed.options->isHeadless);
    EXPECT_EQ(parsed.options->port, 54999);
    EXPECT_EQ(parseLaunchOptions({"--port=0"}).options->port, 0);
    EXPECT_EQ(parseLaunchOptions({}).options->port, 54545);
    EXPECT_EQ(parseLaunchOptions({"--bind", "127.0.0.1"}).options->bindAddress, "127.0.0.1");
}

TEST(LaunchOptions, BadValuesAreRefusedWithAFrenchReason) {
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"--port", "65536"},
                                               {"--port", "-1"},
                                               {"--port", "12ab"},
                                               {"--port", ""},
                                               {"--port"},
                                               {"--port", "99999999999999999999"},
                                               {"--bind"},
                                               {"--colour"}}) {
        const auto parsed = parseLaunchOptions(arguments);
        EXPECT_FALSE(parsed.options) << arguments.front();
        EXPECT_FALSE(parsed.error.empty()) << arguments.front();
    }
    EXPECT_NE(parseLaunchOptions({"--port", "abc"}).error.find("Port invalide"), std::string::npos);
}
