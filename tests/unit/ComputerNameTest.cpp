#include "platform/ComputerName.h"

#include <gtest/gtest.h>

using quorvi::chooseServiceName;

TEST(ServiceName, PrettyNameWinsThenHostNameThenTheProductName) {
    struct Case {
        std::string machineInfo;
        std::string host;
        std::string expected;
    };
    const Case cases[] = {
        {"PRETTY_HOSTNAME=\"Bureau de Léa\"\nCHASSIS=laptop\n", "lea-pc", "Bureau de Léa"},
        {"PRETTY_HOSTNAME='Atelier'\n", "host", "Atelier"},
        {"PRETTY_HOSTNAME=Salon\n", "host", "Salon"},
        {"CHASSIS=desktop\n", "lea-pc", "lea-pc"},
        {"PRETTY_HOSTNAME=\"\"\n", "lea-pc", "lea-pc"},
        {"", "", "Quorvi Mac"},
        {"PRETTY_HOSTNAME=\"  \"\n", " ", "Quorvi Mac"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chooseServiceName(c.machineInfo, c.host), c.expected) << c.machineInfo;
    }
}

TEST(ServiceName, LongNamesAreCutWithoutSplittingACharacter) {
    // 62 ASCII bytes then "é" (2 bytes): the cut at 63 would split it.
    const std::string name = std::string(62, 'a') + "é" + "bbb";
    const auto chosen = chooseServiceName("PRETTY_HOSTNAME=" + name + "\n", "host");
    EXPECT_EQ(chosen, std::string(62, 'a'));
}
