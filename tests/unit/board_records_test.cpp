// The board's records: the history read whole or refused, its bound, the
// update that never ended, the floor, and which dated backups pruning takes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "backups.h"
#include "board_state.h"
#include "history.h"
#include "signing.h"
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
    records::Record past = {{"event", "past the bound"}};
    ASSERT_FALSE(records::append_history(dir.string(), past, "2026-12-09T10:00:00Z", nullptr, 3));
    EXPECT_EQ(past["seq"].get<uint64_t>(), 5u) << "seq counts on across the bound";

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

// A record far longer than a line may be is shortened, marked, and read
// back; the history's own bound is never passed by the tool.
TEST_F(RecordsDir, ALongRecordIsShortenedNotRefused) {
    const std::string long_path = "/" + std::string(9000, 'p') + "/image.bin";
    records::Record r = {
        {"event", "update"}, {"image", long_path}, {"backup", long_path + ".bak"}, {"note", "x"}};
    ASSERT_FALSE(records::append_history(dir.string(), r, "2026-12-09T10:00:00Z"));
    std::ifstream in(at(records::HISTORY_FILE));
    std::string line;
    std::getline(in, line);
    EXPECT_LE(line.size(), records::HISTORY_MAX_LINE_BYTES);
    std::vector<records::Record> h;
    ASSERT_FALSE(records::read_history(dir.string(), h));
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0]["shortened"], (records::Record{"backup", "image"}));
    const std::string image = h[0]["image"];
    EXPECT_EQ(image.substr(image.size() - 3), "...");
    EXPECT_EQ(image.substr(0, 10), long_path.substr(0, 10));
    EXPECT_EQ(h[0]["note"], "x") << "short fields stay whole";
    // Cut on a character's edge: a text of two-byte letters stays UTF-8.
    std::string greek;
    for (int i = 0; i < 5000; ++i) {
        greek += "\xce\xb1";
    }
    records::Record g = {{"event", "update"}, {"image", "a" + greek}};
    ASSERT_FALSE(records::append_history(dir.string(), g, "2026-12-09T10:00:01Z"));
    ASSERT_FALSE(records::read_history(dir.string(), h));
    ASSERT_EQ(h.size(), 2u);
    EXPECT_EQ(h[1]["image"].get<std::string>().find("\xef\xbf\xbd"), std::string::npos)
        << "a letter cut in two";
}

namespace {

records::BoardState sample_state() {
    records::BoardState s = records::new_state("2026-12-09T10:00:00Z");
    s.floor = 3;
    records::Firmware signed_fw;
    signed_fw.sha256 = std::string(64, 'a');
    signed_fw.origin = records::ORIGIN_SIGNED;
    signed_fw.release = "05.03";
    signed_fw.security_version = 3;
    signed_fw.key_id = "dba45a50925f7419";
    signed_fw.signer = "vendor";
    signed_fw.trusted_keys = "/b/trusted-keys";
    s.installed = signed_fw;
    records::Firmware unsigned_fw;
    unsigned_fw.sha256 = std::string(64, 'b');
    unsigned_fw.origin = records::ORIGIN_UNSIGNED;
    unsigned_fw.safeties = {records::SAFETY_UNSIGNED, records::SAFETY_OLDER};
    // A folder name that is not UTF-8 names the same file when read back.
    records::Backup b{"/b\xff\xfe/backup-20261209-100000-rev0.bin", std::string(64, 'b'),
                      "2026-12-09T10:00:00Z", "update", unsigned_fw};
    s.backups = {b};
    records::Write w{"update", "/images/v3.bin", std::string(64, 'c'), "2026-12-09T10:00:00Z", 7,
                     b,        signed_fw};
    s.last_write = w;
    w.backup.reset();
    s.unfinished = w;
    return s;
}

// The state's text with `edit` made to its JSON, and its checksum made
// anew over the result: what a careful forger would write.
std::string resealed(const std::string& text, void (*edit)(nlohmann::json&)) {
    nlohmann::json j = nlohmann::json::parse(text);
    edit(j);
    j.erase("sha256");
    const std::string body = j.dump(2);
    sigfile::Hash h = signing::sha256(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    j["sha256"] = sigfile::hex(h.data(), h.size());
    return j.dump(2);
}

}  // namespace

TEST(BoardState, ReadWholeOrRefused) {
    const records::BoardState state = sample_state();
    const std::string text = records::format_state(state);
    std::string crlf;
    for (char ch : text) {
        crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    }
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string t = text;
        size_t at = t.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? t : t.replace(at, from.size(), to);
    };
    nlohmann::json unsealed = nlohmann::json::parse(text);
    unsealed.erase("sha256");
    struct Case {
        const char* name;
        std::string text;
        const char* error;  // nullptr: reads as the sample state
    } cases[] = {
        {"as written", text, nullptr},
        {"CRLF line ends", crlf, nullptr},
        {"no final line end", text.substr(0, text.size() - 1), nullptr},
        {"the floor edited", replaced("\"floor\": 3", "\"floor\": 0"), "does not match its \"sha256\""},
        {"a security version edited", replaced("\"security_version\": 3", "\"security_version\": 4"),
         "does not match"},
        {"a backup's path edited", replaced("\"bytes\": \"2f62fffe", "\"bytes\": \"2f63fffe"),
         "does not match"},
        {"no checksum", unsealed.dump(2), "no \"sha256\""},
        {"another format", replaced("kova-board-state 1", "kova-board-state 2"),
         "not \"kova-board-state 1\""},
        {"cut short", text.substr(0, text.size() / 2), "not a JSON object"},
        {"resealed: an unsigned backup's security version",
         resealed(text,
                  [](nlohmann::json& j) { j["backups"][0]["firmware"]["security_version"] = 4294967295u; }),
         "that no signature by the board's keys vouches for"},
        {"resealed: a relative backup path",
         resealed(text, [](nlohmann::json& j) { j["backups"][0]["path"] = "evil.bin"; }), "is not absolute"},
        {"resealed: a safety the tool does not know",
         resealed(text, [](nlohmann::json& j) { j["backups"][0]["firmware"]["safeties"][0] = "--yes"; }),
         "not a safety"},
        {"resealed: a floor past 32 bits",
         resealed(text, [](nlohmann::json& j) { j["floor"] = 4294967296u; }),
         "\"floor\" is not a whole number"},
        {"resealed: a SHA-256 that is not one",
         resealed(text, [](nlohmann::json& j) { j["installed"]["sha256"] = "00"; }), "is not a SHA-256"},
        {"resealed: an origin the tool does not write",
         resealed(text, [](nlohmann::json& j) { j["installed"]["origin"] = "trusted"; }),
         "\"origin\" is \"trusted\""},
    };
    for (const Case& c : cases) {
        records::BoardState got;
        Status err = records::parse_state(c.text, got);
        if (!c.error) {
            ASSERT_FALSE(err) << c.name << ": " << err->text;
            EXPECT_TRUE(got == state) << c.name;
        } else {
            ASSERT_TRUE(err) << c.name;
            EXPECT_EQ(err->code, exitcode::USAGE) << c.name;
            EXPECT_NE(err->text.find(c.error), std::string::npos) << c.name << ": " << err->text;
        }
    }
}

// No state yet: a new one, whose floor is an older kit's floor file's,
// however its lines end; a floor file that cannot be read is refused,
// never read as floor 0.
TEST_F(RecordsDir, StateFromAnOlderFloorFile) {
    records::BoardState s;
    bool exists = true;
    ASSERT_FALSE(records::read_state(dir.string(), s, exists));
    EXPECT_FALSE(exists);
    EXPECT_EQ(s.floor, 0u) << "no file: nothing installed through the tool";
    struct Case {
        const char* text;
        int64_t floor;  // -1: refused
    } cases[] = {
        {"kova-security-floor 1\nfloor 3\n", 3},
        {"kova-security-floor 1\r\nfloor 4\r\n", 4},
        {"kova-security-floor 1\nfloor 5", 5},
        {"kova-security-floor 1\nfloor 4294967295\n", 4294967295},
        {"kova-security-floor 1\nfloor 03\n", -1},
        {"kova-security-floor 1\nfloor \n", -1},
        {"kova-security-floor 2\nfloor 3\n", -1},
        {"kova-security-floor 1\nfloor 4294967296\n", -1},
        {"", -1},
        {"kova-security-floor 1\nfloor -1\n", -1},
        {"kova-security-floor 1\nfloor 3\nfloor 9\n", -1},
    };
    for (const Case& c : cases) {
        std::ofstream(at(records::FLOOR_FILE), std::ios::trunc | std::ios::binary) << c.text;
        Status err = records::read_state(dir.string(), s, exists);
        EXPECT_EQ(!err, c.floor >= 0) << c.text;
        if (err) {
            EXPECT_NE(err->text.find("security-floor: damaged"), std::string::npos) << err->text;
        } else {
            EXPECT_EQ(s.floor, uint64_t(c.floor)) << c.text;
        }
    }
    fs::remove(at(records::FLOOR_FILE));
    fs::create_directory(at(records::FLOOR_FILE));
    EXPECT_TRUE(records::read_state(dir.string(), s, exists))
        << "a floor file that cannot be read, read as 0";
    fs::remove(at(records::FLOOR_FILE));
    // Once a state is written, it holds the floor: the older file is not read.
    std::ofstream(at(records::FLOOR_FILE), std::ios::trunc) << "kova-security-floor 1\nfloor 9\n";
    ASSERT_FALSE(records::write_state(dir.string(), sample_state()));
    ASSERT_FALSE(records::read_state(dir.string(), s, exists));
    EXPECT_TRUE(exists);
    EXPECT_EQ(s.floor, 3u);
    fs::remove(at(records::STATE_FILE));
    fs::create_symlink(at(records::FLOOR_FILE), at(records::STATE_FILE));
    Status linked = records::read_state(dir.string(), s, exists);
    ASSERT_TRUE(linked) << "a state read through a link";
    EXPECT_NE(linked->text.find("board-state.json: damaged"), std::string::npos) << linked->text;
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
