#include "cloud_report.h"

#include <gtest/gtest.h>

#include "log_capture.h"

using testing_support::LogCapture;

namespace {

struct Recorded {
    std::string url;
    std::vector<std::string> headers;
    std::string body;
};

PostFn Answer(int code, std::string text, Recorded* seen = nullptr) {
    return [=](const std::string& url, const std::vector<std::string>& headers,
               const std::string& body) {
        if (seen != nullptr)
            *seen = Recorded{url, headers, body};
        return http::Response{code, text};
    };
}

class CloudReportTest : public ::testing::Test {
  protected:
    void SetUp() override { LogCapture::Init("reportd_test.log"); }
};

TEST_F(CloudReportTest, ExchangeBrokenOffAfterASuccessStatusCountsAsDelivered) {
    auto cutShort = [](int status) {
        return [status](const std::string&, const std::vector<std::string>&, const std::string&) {
            return http::Response{28, "Timeout was reached", status};
        };
    };
    LogCapture log;
    // The server has taken the samples: sending them again would repeat them.
    EXPECT_EQ(ReportSensorData("u", "t", "b", cutShort(200)), Delivery::kDelivered);
    EXPECT_EQ(ReportHeartBeat("u", "t", "b", cutShort(204)), Delivery::kDelivered);
    EXPECT_EQ(log.Count("ERROR"), 0u) << log.Since();
    // No status, or one that is no success: the transport error decides.
    EXPECT_EQ(ReportSensorData("u", "t", "b", cutShort(0)), Delivery::kRetry);
    EXPECT_EQ(ReportSensorData("u", "t", "b", cutShort(500)), Delivery::kRetry);
    EXPECT_TRUE(log.Contains("Request Error ( 28 ) : Timeout was reached")) << log.Since();
}

TEST_F(CloudReportTest, RequestsCarryPathHeadersInOrderAndBody) {
    Recorded seen;
    EXPECT_EQ(
        ReportSensorData("https://cloud.test", "tok", "{\"nodes\":[]}", Answer(200, "", &seen)),
        Delivery::kDelivered);
    EXPECT_EQ(seen.url, "https://cloud.test/gateways/report");
    EXPECT_EQ(seen.headers,
              (std::vector<std::string>{"cache-control: no-cache", "Content-Type: application/json",
                                        "Authorization: Bearer tok"}));
    EXPECT_EQ(seen.body, "{\"nodes\":[]}");

    EXPECT_EQ(ReportHeartBeat("https://cloud.test", "tok", "[]", Answer(204, "", &seen)),
              Delivery::kDelivered);
    EXPECT_EQ(seen.url, "https://cloud.test/gateways/hb");
    EXPECT_EQ(seen.body, "[]");
}

TEST_F(CloudReportTest, FailuresAreLoggedWithTheirCauses) {
    LogCapture log;
    EXPECT_EQ(ReportSensorData("u", "t", "b", Answer(500, "boom")), Delivery::kRetry);
    EXPECT_TRUE(log.Contains("Server Error ( 500 ) : \"boom\"")) << log.Since();
    EXPECT_EQ(ReportHeartBeat("u", "t", "b", Answer(400, "bad body")), Delivery::kRefused);
    EXPECT_TRUE(log.Contains("Server Error ( 400 ) : \"bad body\""));
    ReportSensorData("u", "t", "b", Answer(6, "x"));
    EXPECT_TRUE(log.Contains("Couldn't resolve host."));
    ReportSensorData("u", "t", "b", Answer(7, "x"));
    EXPECT_TRUE(log.Contains("Failed to connect() to host."));
    ReportSensorData("u", "t", "b",
                     Answer(60, "SSL peer certificate or SSH remote key was not OK"));
    EXPECT_TRUE(log.Contains("( 60 ) : SSL peer certificate"));
}

}  // namespace
