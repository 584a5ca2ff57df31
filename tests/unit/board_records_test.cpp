// The board's records: the history read whole or refused, its bound, the
// update that never ended, the floor, and which dated backups pruning takes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "board_records.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

struct HistoryCase {
    const char* name;
    std::string text;
    const char* error;  // nullptr: read
};

TEST(History, ReadWholeOrRefused) {
    // Keys in the order the tool writes them (by name).
    const std::string r1 = R"({"event":"board-init","seq":1,"time":"2026-12-09T10:00:00Z"})";
    const std::string r2 = R"({"event":"update","seq":2,"time":"2026-12-09T10:00:00Z"})";
    const HistoryCase cases[] = {
        {"none", "", nullptr},
        {"two records", r1 + "\n" + r2 + "\n", nullptr},
        {"the last cut short", r1 + "\n" + r2.substr(0, 20), "line 2 has no end"},
        {"not JSON", r1 + "\nhello\n", "line 2 is not a JSON object"},
        {"a list", "[1]\n", "line 1 is not a JSON object"},
        {"a record lost", r1 + "\n" + R"({"seq":3,"time":"t","event":"e"})" + "\n", "\"seq\" 3 after 1"},
        {"the same seq twice", r1 + "\n" + r1 + "\n", "\"seq\" 1 after 1"},
        {"no seq",
         R"({"time":"t","event":"e"})"
         "\n",
         "no \"seq\""},
        {"a negative seq",
         R"({"seq":-1,"time":"t","event":"e"})"
         "\n",
         "no \"seq\""},
        {"no time",
         R"({"seq":1,"event":"e"})"
         "\n",
         "no \"time\""},
        {"an event that is no text",
         R"({"seq":1,"time":"t","event":7})"
         "\n",
         "no \"event\""},
        {"a long line",
         "{\"seq\":1,\"time\":\"" + std::string(records::HISTORY_MAX_LINE_BYTES, 't') + "\"}\n",
         "longer than"},
    };
    for (const HistoryCase& c : cases) {
        std::vector<records::Record> h;
        Status err = records::parse_history(c.text, h);
        if (!c.error) {
            EXPECT_FALSE(err) << c.name << ": " << err->text;
            EXPECT_EQ(records::format_history(h), c.text) << c.name;
        } else {
            ASSERT_TRUE(err) << c.name;
            EXPECT_EQ(err->code, exitcode::USAGE) << c.name;
            EXPECT_NE(err->text.find(c.error), std::string::npos) << c.name << ": " << err->text;
        }
    }
}

class RecordsDir : public TempDirTest {
protected:
    RecordsDir() : TempDirTest("kova-records") {}
    std::vector<std::string> events() {
        std::vector<records::Record> h;
        EXPECT_FALSE(records::read_history(dir.string(), h));
        std::vector<std::string> out;
        for (const auto& r : h) {
            out.push_back(r["event"].get<std::string>() + "#" + std::to_string(r["seq"].get<uint64_t>()));
        }
        return out;
    }
};

TEST_F(RecordsDir, HistoryKeepsTheNewestAndIsNeverReset) {
    uint64_t want_seq = 1;
    for (const char* e : {"oldest", "second", "third", "newest"}) {
        records::Record r = {{"event", e}};
        size_t dropped = 99;
        ASSERT_FALSE(records::append_history(dir.string(), r, "2026-12-09T10:00:00Z", &dropped, 3));
        EXPECT_EQ(r["seq"].get<uint64_t>(), want_seq++) << e;
        EXPECT_EQ(dropped, std::string(e) == "newest" ? 1u : 0u) << e;
    }
    EXPECT_EQ(events(), (std::vector<std::string>{"second#2", "third#3", "newest#4"}))
        << "the oldest is dropped";

    // A damaged history is refused and left as it is, not started afresh.
    const std::string path = at(records::HISTORY_FILE);
    std::ofstream(path, std::ios::app) << "{\"seq\":5,";
    records::Record more = {{"event", "more"}};
    Status err = records::append_history(dir.string(), more, "2026-12-09T10:00:01Z");
    ASSERT_TRUE(err);
    EXPECT_NE(err->text.find("history.jsonl: damaged (line 4 has no end"), std::string::npos) << err->text;
    std::ifstream in(path);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find("\"newest\""), std::string::npos);
    EXPECT_EQ(all.substr(all.size() - 9), "{\"seq\":5,");
}

TEST(History, TheUpdateThatNeverEnded) {
    auto rec = [](uint64_t seq, const char* event, int64_t begun = -1) {
        records::Record r = {{"seq", seq}, {"time", "t"}, {"event", event}};
        if (begun >= 0) {
            r["begun"] = uint64_t(begun);
        }
        return r;
    };
    struct Case {
        const char* name;
        std::vector<records::Record> history;
        int64_t open;  // the seq of the unfinished one, -1 none
    } cases[] = {
        {"none", {}, -1},
        {"begun and ended", {rec(1, "update-begun"), rec(2, "update", 1)}, -1},
        {"begun, then an EC write", {rec(1, "update-begun"), rec(2, "ec-write")}, 1},
        {"an older one ended, the newest not",
         {rec(1, "update-begun"), rec(2, "update", 1), rec(3, "restore-begun")},
         3},
        {"the newest ended, an older not",
         {rec(1, "update-begun"), rec(2, "update-begun"), rec(3, "update", 2)},
         -1},
        {"an end naming another", {rec(1, "update-begun"), rec(2, "update-begun"), rec(3, "update", 1)}, 2},
    };
    for (const Case& c : cases) {
        auto open = records::unfinished(c.history);
        ASSERT_EQ(open.has_value(), c.open >= 0) << c.name;
        if (open) {
            EXPECT_EQ((*open)["seq"].get<int64_t>(), c.open) << c.name;
        }
    }
}

TEST_F(RecordsDir, FloorReadOrRefused) {
    uint32_t floor = 7;
    ASSERT_FALSE(records::read_floor(dir.string(), floor));
    EXPECT_EQ(floor, 0u) << "no file: nothing installed through the tool";
    ASSERT_FALSE(records::write_floor(dir.string(), 4294967295u));
    ASSERT_FALSE(records::read_floor(dir.string(), floor));
    EXPECT_EQ(floor, 4294967295u);
    struct Case {
        const char* text;
        bool good;
    } cases[] = {
        {"kova-security-floor 1\nfloor 3\n", true},
        {"kova-security-floor 1\nfloor 03\n", false},
        {"kova-security-floor 1\nfloor 3", false},
        {"kova-security-floor 1\nfloor \n", false},
        {"kova-security-floor 2\nfloor 3\n", false},
        {"kova-security-floor 1\nfloor 4294967296\n", false},
        {"", false},
        {"kova-security-floor 1\nfloor -1\n", false},
    };
    for (const Case& c : cases) {
        std::ofstream(at(records::FLOOR_FILE), std::ios::trunc) << c.text;
        Status err = records::read_floor(dir.string(), floor);
        EXPECT_EQ(!err, c.good) << c.text;
        if (err) {
            EXPECT_NE(err->text.find("security-floor: damaged"), std::string::npos) << err->text;
        }
    }
}

TEST(DatedBackup, PruningKeepsTheOldestTheNewestAndThoseInUse) {
    const std::string oldest = "backup-20261201-080000-rev0.bin", a = "backup-20261202-080000-rev1.bin",
                      b = "backup-20261202-080000-2-rev1.bin",  // the same second, later
        c = "backup-20261203-080000-incomplete.bin", newest = "backup-20261204-080000-rev1.bin";
    // In no order, with names that are not the tool's.
    const std::vector<std::string> names = {newest, c, "flash.bin", a, oldest, "backup-mine.bin", b};
    struct Case {
        const char* name;
        size_t keep;
        std::set<std::string> kept;
        std::vector<std::string> removed;
    } cases[] = {
        {"keep 3", 3, {}, {a}},
        {"keep 2", 2, {}, {a, b}},
        {"keep 1", 1, {}, {a, b, c}},
        {"keep 0 still keeps the newest", 0, {}, {a, b, c}},
        {"keep 1, one being restored", 1, {b}, {a, c}},
        {"keep 10", 10, {}, {}},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(records::backups_to_prune(names, k.keep, k.kept), k.removed) << k.name;
    }
}

}  // namespace
