#include "status_event.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "log_capture.h"

using testing_support::LogCapture;

namespace {

// (message code, payload) of what a handler would queue.
std::vector<std::pair<int32_t, int>> Queued(const std::vector<mailbox::Message>& messages) {
    std::vector<std::pair<int32_t, int>> out;
    for (const auto& m : messages) {
        if (m.code == mailbox::kHeartbeatReceived)
            out.emplace_back(m.code, m.As<supervd::Heartbeat>()->code);
        else
            out.emplace_back(m.code, m.data ? *m.As<int>() : -1);
    }
    return out;
}

class StatusEventTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { LogCapture::Init("supervd_test.log"); }
};

TEST_F(StatusEventTest, MembersQueueInKeyOrderErrBeforeHb) {
    using V = std::vector<std::pair<int32_t, int>>;
    EXPECT_EQ(Queued(supervd::ParseStatusEvent(R"({"evt":{"hb":1003}})")), (V{{3000, 1003}}));
    EXPECT_EQ(Queued(supervd::ParseStatusEvent(R"({"evt":{"hb":1000,"err":2002}})")),
              (V{{3002, 2002}, {3000, 1000}}));
    EXPECT_EQ(Queued(supervd::ParseStatusEvent(R"({"evt":{"err":7,"ok":1},"x":2})")),
              (V{{3002, 7}}))
        << "other keys are ignored";
    EXPECT_EQ(Queued(supervd::ParseStatusEvent(R"({"evt":{"hb":-5}})")), (V{{3000, -5}}));
}

TEST_F(StatusEventTest, AHeartbeatCarriesItsSendersPidWhenItHasAUsableOne) {
    auto pid = [](const char* text) {
        auto queued = supervd::ParseStatusEvent(text);
        EXPECT_EQ(queued.size(), 1u) << text;
        return queued.empty() ? -1 : queued[0].As<supervd::Heartbeat>()->pid;
    };
    EXPECT_EQ(pid(R"({"evt":{"hb":1001,"pid":4321}})"), 4321);
    EXPECT_EQ(pid(R"({"evt":{"hb":1001}})"), 0);
    for (const char* bad :
         {R"({"evt":{"hb":1001,"pid":"4321"}})", R"({"evt":{"hb":1001,"pid":0}})",
          R"({"evt":{"hb":1001,"pid":-7}})", R"({"evt":{"hb":1001,"pid":99999999999}})"}) {
        LogCapture log;
        EXPECT_EQ(pid(bad), 0) << bad;
        EXPECT_EQ(log.Count("ERROR"), 1u) << bad;
    }
}

TEST_F(StatusEventTest, BadStatusEventsGetOneLineEachAndQueueNothing) {
    const char* bad[] = {
        "not json",
        R"(["evt"])",
        R"({"hb":1000})",
        R"({"evt":"hb"})",
        R"({"evt":{"hb":"1000"}})",
        R"({"evt":{"hb":99999999999}})",
        R"({"evt":{"hb":1e300}})",
        R"({"evt":{"hb":1000.5}})",
        R"({"evt":{"err":true}})",
        R"({"evt":{"err":null}})",
        "",
    };
    for (const char* text : bad) {
        LogCapture log;
        EXPECT_TRUE(supervd::ParseStatusEvent(text).empty()) << text;
        EXPECT_EQ(log.Count("ERROR"), 1u) << text;
    }
    EXPECT_TRUE(supervd::ParseStatusEvent(nullptr).empty());
    // A bad member leaves the good one.
    auto queued = Queued(supervd::ParseStatusEvent(R"({"evt":{"err":2001,"hb":"x"}})"));
    EXPECT_EQ(queued, (std::vector<std::pair<int32_t, int>>{{3002, 2001}}));
}

TEST_F(StatusEventTest, OnlyWanGoingDownOrUpCounts) {
    using V = std::vector<std::pair<int32_t, int>>;
    EXPECT_EQ(Queued(supervd::ParseInterfaceEvent(R"({"action":"ifdown","interface":"wan"})")),
              (V{{3003, -1}}));
    EXPECT_EQ(Queued(supervd::ParseInterfaceEvent(R"({"interface":"wan","action":"ifup"})")),
              (V{{3004, -1}}));
    LogCapture log;
    EXPECT_TRUE(supervd::ParseInterfaceEvent(R"({"action":"ifdown","interface":"lan"})").empty());
    EXPECT_TRUE(supervd::ParseInterfaceEvent(R"({"action":"ifupdate","interface":"wan"})").empty());
    EXPECT_EQ(log.Count("ERROR"), 0u) << "other interfaces and actions are normal";

    for (const char* text : {"{", R"({"action":"ifdown"})", R"({"interface":"wan"})",
                             R"({"action":"ifdown","interface":7})", "[]"}) {
        LogCapture each;
        EXPECT_TRUE(supervd::ParseInterfaceEvent(text).empty()) << text;
        EXPECT_EQ(each.Count("ERROR"), 1u) << text;
    }
}

}  // namespace
