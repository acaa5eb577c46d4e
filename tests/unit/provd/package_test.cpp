#include "package.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

std::optional<ProvisioningPackage> Parse(const std::string& text, std::string* error = nullptr) {
    std::string e;
    auto package = ParsePackage(text, e);
    if (error != nullptr)
        *error = e;
    return package;
}

TEST(PackageTest, TakesEveryKnownMemberAndIgnoresTheRest) {
    const auto p = Parse(R"({
        "wireless": {"ssid": "home", "encryption": "psk2", "key": "secret", "band": "5g"},
        "tokens": {"access": "A", "refresh": "R"},
        "network": {"proto": "static", "ipaddr": "10.0.0.2", "netmask": "255.255.255.0",
                    "gateway": "10.0.0.1", "dns": ["10.0.0.1", "9.9.9.9"]},
        "firmware": 7})");
    ASSERT_TRUE(p);
    ASSERT_TRUE(p->wireless && p->tokens && p->network);
    EXPECT_EQ(p->wireless->ssid, "home");
    EXPECT_EQ(p->wireless->encryption, "psk2");
    EXPECT_EQ(p->wireless->key, "secret");
    EXPECT_EQ(p->tokens->access, "A");
    EXPECT_EQ(p->tokens->refresh, "R");
    EXPECT_EQ(p->network->proto, "static");
    EXPECT_EQ(p->network->gateway, "10.0.0.1");
    EXPECT_EQ(p->network->dns, (std::vector<std::string>{"10.0.0.1", "9.9.9.9"}));
}

TEST(PackageTest, AbsentMembersStayEmptyAndAbsentObjectsAreNotApplied) {
    const auto p = Parse(R"({"wireless": {"ssid": "open", "encryption": "none"}})");
    ASSERT_TRUE(p && p->wireless);
    EXPECT_EQ(p->wireless->key, "");
    EXPECT_FALSE(p->tokens);
    EXPECT_FALSE(p->network);
    const auto empty = Parse("{}");
    ASSERT_TRUE(empty);
    EXPECT_FALSE(empty->wireless || empty->tokens || empty->network);
}

TEST(PackageTest, AMemberOfTheWrongTypeRefusesTheWholeDocumentAndIsNamed) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"wireless": {"ssid": 1}, "tokens": {"access": "A"}})", "wireless.ssid"},
        {R"({"wireless": {"key": null}})", "wireless.key"},
        {R"({"wireless": "home"})", "wireless must be an object"},
        {R"({"tokens": {"refresh": ["R"]}})", "tokens.refresh"},
        {R"({"network": {"proto": "static", "dns": "10.0.0.1"}})", "network.dns must be an array"},
        {R"({"network": {"dns": ["10.0.0.1", 9]}})", "network.dns[1]"},
        {R"({"network": {"netmask": 24}})", "network.netmask"},
        {R"(["wireless"])", "the package must be an object"},
    };
    for (const auto& [text, named] : cases) {
        std::string error;
        EXPECT_FALSE(Parse(text, &error)) << text;
        EXPECT_NE(error.find(named), std::string::npos) << text << " -> " << error;
    }
}

TEST(PackageTest, TextThatIsNotJsonIsRefused) {
    std::string error;
    EXPECT_FALSE(Parse(std::string("\x93\x1f\xa0garbage", 10), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(Parse(R"({"wireless": {"ssid": "home"})", &error));
}

TEST(PackageTest, AParseErrorGivesItsPlaceAndKindButNoTextOfTheDocument) {
    // The JSON reader's own text quotes what it read last: here the Wi-Fi key.
    for (const std::string& text :
         std::vector<std::string>{std::string(R"({"wireless": {"key": "wifi-secret)"),
                                  std::string("{\"wireless\": {\"key\": \"wifi-secret\x01\"}}"),
                                  std::string("{\"wireless\": {\"key\": \"wifi-secret\xff\"}}")}) {
        std::string error;
        EXPECT_FALSE(Parse(text, &error));
        EXPECT_EQ(error.find("wifi"), std::string::npos) << error;
        EXPECT_EQ(error.rfind("parse error at byte ", 0), 0u) << error;
        EXPECT_NE(error.find("invalid string"), std::string::npos) << error;
    }
}

TEST(PackageTest, SecretsAreHiddenAndEverythingElseKept) {
    const json document = json::parse(R"({
        "wireless": {"ssid": "home", "encryption": "psk2", "key": "wifi-secret"},
        "tokens": {"access": "tok-a", "refresh": "tok-r"},
        "network": {"proto": "dhcp"}})");
    const std::string shown = HideSecrets(document).dump();
    for (const char* secret : {"wifi-secret", "tok-a", "tok-r"})
        EXPECT_EQ(shown.find(secret), std::string::npos) << shown;
    json expected = document;
    expected["wireless"]["key"] = "<hidden>";
    expected["tokens"]["access"] = "<hidden>";
    expected["tokens"]["refresh"] = "<hidden>";
    EXPECT_EQ(HideSecrets(document), expected);

    const json credentials = {{"ifname", "wlan0"}, {"ssid", "home"}, {"key", "wifi-secret"}};
    EXPECT_EQ(HideSecrets(credentials)["key"], "<hidden>");
    EXPECT_EQ(HideSecrets(json("text")), json("text"));
    // Of another shape, a secret-bearing member is hidden whole.
    const json shapes = json::parse(
        R"({"tokens": ["tok-a", {"refresh": "tok-r"}], "wireless": [{"key": "wifi-secret"}],
            "key": {"psk": "wifi-secret"}, "network": ["kept"]})");
    EXPECT_EQ(HideSecrets(shapes),
              json::parse(R"({"tokens": "<hidden>", "wireless": "<hidden>", "key": "<hidden>",
                              "network": ["kept"]})"));
}

}  // namespace
