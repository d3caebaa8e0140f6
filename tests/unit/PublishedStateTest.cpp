#include "server/PublishedState.h"

#include <gtest/gtest.h>

using quorvi::PublishedProperty;
using quorvi::PublishedState;

TEST(Journal, KeepsTheThirtyNewestNewestFirst) {
    PublishedState state;
    for (int i = 1; i <= 35; ++i) {
        state.addJournalLine("ligne " + std::to_string(i));
    }
    ASSERT_EQ(state.logs().size(), 30u);
    EXPECT_EQ(state.logs().front(), "ligne 35");
    EXPECT_EQ(state.logs().back(), "ligne 6");
}

TEST(Journal, RecentInputsKeepTheTwelveNewest) {
    PublishedState state;
    for (int i = 1; i <= 20; ++i) {
        quorvi::InputEventMessage message;
        message.sentAt = i;
        state.addReceivedInput(message);
    }
    ASSERT_EQ(state.receivedInputs().size(), 12u);
    EXPECT_EQ(state.receivedInputs().front().sentAt, 20);
    EXPECT_EQ(state.receivedInputs().back().sentAt, 9);
}

TEST(PublishedStateChanges, ObserversHearOfAChangeBeforeItTakesEffect) {
    PublishedState state;
    std::vector<std::string> seenBefore;
    std::vector<std::string> seenAfter;
    state.addObserver({[&](PublishedProperty property) {
                           if (property == PublishedProperty::status) {
                               seenBefore.push_back(state.status());
                           }
                       },
                       [&](PublishedProperty property) {
                           if (property == PublishedProperty::status) {
                               seenAfter.push_back(state.status());
                           }
                       }});
    state.setStatus("Connecté");
    EXPECT_EQ(seenBefore, std::vector<std::string>{"Arrêté"});
    EXPECT_EQ(seenAfter, std::vector<std::string>{"Connecté"});
}
