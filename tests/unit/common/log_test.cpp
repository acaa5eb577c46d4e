#include "log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string Dir() {
    static std::string dir = [] {
        std::string d =
            (fs::temp_directory_path() / ("logtest-" + std::to_string(::getpid()))).string();
        fs::remove_all(d);
        ::setenv("HALVEX_RUN_DIR", d.c_str(), 1);
        logging::Options options;
        options.file = "probe.log";
        options.max = logging::info;
        logging::Init(options);
        return d;
    }();
    return dir;
}

std::vector<std::string> Lines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct Scanner {
    void Tick() { LOGW << "message " << 42; }
};

TEST(Log, LineLayout) {
    fs::path file = fs::path(Dir()) / "log" / "probe.log";
    Scanner().Tick();
    auto lines = Lines(file);
    ASSERT_FALSE(lines.empty());
    std::regex layout(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} WARN  \[\d+\] \[)"
                      R"((\{anonymous\}::)?Scanner::Tick@\d+\] message 42$)");
    EXPECT_TRUE(std::regex_match(lines.back(), layout)) << lines.back();
}

TEST(Log, TimeStampsStayRightPast2038) {
    auto stamp = [](int64_t secs, long millis, long offset) {
        char buf[64];
        return std::string(buf, logging::FormatTime(buf, sizeof buf, secs, millis, offset));
    };
    EXPECT_EQ(stamp(0x7FFFFFFF, 999, 0), "2038-01-19 03:14:07.999 ");
    EXPECT_EQ(stamp(int64_t{1} << 31, 0, 0), "2038-01-19 03:14:08.000 ");
    EXPECT_EQ(stamp(int64_t{1} << 31, 0, 3600), "2038-01-19 04:14:08.000 ");
    EXPECT_EQ(stamp(4107542400, 5, -3600), "2100-02-28 23:00:00.005 ");  // 2100 has no 29 Feb
    EXPECT_EQ(stamp(0, 0, -1), "1969-12-31 23:59:59.000 ");
}

TEST(Log, SeverityFilterDropsDebugAndVerbose) {
    fs::path file = fs::path(Dir()) / "log" / "probe.log";
    LOGV << "verbose-marker";
    LOGD << "debug-marker";
    LOGE << "error-marker";
    std::string all;
    for (auto& l : Lines(file))
        all += l + "\n";
    EXPECT_EQ(all.find("verbose-marker"), std::string::npos);
    EXPECT_EQ(all.find("debug-marker"), std::string::npos);
    EXPECT_NE(all.find("ERROR ["), std::string::npos);
    EXPECT_NE(all.find("error-marker"), std::string::npos);
}

TEST(Log, SignalPathWritesSameLayout) {
    fs::path file = fs::path(Dir()) / "log" / "probe.log";
    logging::WriteFromSignal(logging::error, "SignalHandler", 7, "Signal Catch : ", 15, true);
    auto lines = Lines(file);
    ASSERT_FALSE(lines.empty());
    std::regex layout(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} ERROR \[\d+\] \[SignalHandler@7\] Signal Catch : 15$)");
    EXPECT_TRUE(std::regex_match(lines.back(), layout)) << lines.back();
}

TEST(Log, FunctionNameReducedToClassAndMethod) {
    EXPECT_EQ(logging::FunctionName("void BluetoothLE::RemoveSensor(const string&)"),
              "BluetoothLE::RemoveSensor");
    EXPECT_EQ(logging::FunctionName("int main()"), "main");
    EXPECT_EQ(logging::FunctionName("std::map<int, std::string> Foo::Bar(int)"), "Foo::Bar");
    EXPECT_EQ(logging::FunctionName("Node::Node(const string&)"), "Node::Node");
    EXPECT_EQ(logging::FunctionName("BluetoothLE::Init()::<lambda(bool)>"), "BluetoothLE::Init");
}

TEST(Log, QuoteEscapesWhatIsNotPrintableUtf8AndCutsLongText) {
    EXPECT_EQ(logging::Quote("AABBCC"), "\"AABBCC\"");
    EXPECT_EQ(logging::Quote(std::string("a\"b\\c\n\0d\x7f", 9)), R"("a\"b\\c\x0a\x00d\x7f")");
    // Characters stay, bytes that are not UTF-8 (a lone continuation, a surrogate) are escaped.
    EXPECT_EQ(logging::Quote("\xc3\xa9\x80\xed\xa0\x80"), "\"\xc3\xa9\\x80\\xed\\xa0\\x80\"");
    const std::string id(1048576, 'A');
    EXPECT_EQ(logging::Quote(id), "\"" + std::string(256, 'A') + "\"... (1048576 bytes)");
    // Never cut inside a character.
    EXPECT_EQ(logging::Quote("x\xc3\xa9y", 2), "\"x\"... (4 bytes)");
    EXPECT_EQ(logging::Cut("{\"a\":1}"), "{\"a\":1}");
    EXPECT_EQ(logging::Cut(id, 4), "AAAA... (1048576 bytes)");
}

TEST(Log, AHugeRecordIsCutAndTheFileCapHolds) {
    fs::path file = fs::path(Dir()) / "log" / "probe.log";
    const std::string huge(20u << 20, 'z');
    for (int i = 0; i < 3; ++i)
        LOGE << "body " << huge;
    const auto lines = Lines(file);
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.back().size(), logging::kMaxMessage + 256);
    EXPECT_NE(lines.back().find("zzz ... (cut, 20971525 bytes)"), std::string::npos);
    EXPECT_LE(fs::file_size(file), 65536u);
}

// Runs last in this program: it fills the files.
TEST(Log, RollsAt65536BytesAndKeepsFiveFiles) {
    fs::path dir = fs::path(Dir()) / "log";
    const std::string pad(100, 'x');
    const int kLines = 6000;  // ~900 KB, far more than five files hold
    for (int i = 0; i < kLines; ++i)
        LOGI << "seq " << i << " " << pad;

    EXPECT_FALSE(fs::exists(dir / "probe.5.log"));
    std::vector<fs::path> files = {dir / "probe.4.log", dir / "probe.3.log", dir / "probe.2.log",
                                   dir / "probe.1.log", dir / "probe.log"};
    int expected = -1;
    for (auto& f : files) {
        ASSERT_TRUE(fs::exists(f)) << f;
        EXPECT_LE(fs::file_size(f), 65536u) << f;
        if (f != dir / "probe.log") {
            EXPECT_GT(fs::file_size(f), 65536u - 300) << f << " rolled early";
        }
        // Oldest file first: sequence numbers run on without a gap across the files.
        for (auto& line : Lines(f)) {
            std::smatch m;
            if (!std::regex_search(line, m, std::regex(R"(seq (\d+) )")))
                continue;
            int seq = std::stoi(m[1]);
            if (expected >= 0) {
                ASSERT_EQ(seq, expected) << f;
            }
            expected = seq + 1;
        }
    }
    EXPECT_EQ(expected, kLines);
    int count = 0;
    for (auto& entry : fs::directory_iterator(dir)) {
        (void)entry;
        ++count;
    }
    EXPECT_EQ(count, 5);
}

}  // namespace
