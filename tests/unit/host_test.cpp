// The host side's file rules, each once, where it is plain to see: files
// written whole (modes, links, what is kept), the board lock, the bounded
// readers, the names of dated backups and the update's planned writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "backups.h"
#include "board_lock.h"
#include "builder.h"
#include "file_read.h"
#include "image_file.h"
#include "permissions.h"
#include "session.h"
#include "temp_dir.h"
#include "update_plan.h"

namespace fs = std::filesystem;

namespace {

class HostFiles : public TempDirTest {
protected:
    HostFiles() : TempDirTest("kova-host") {}
    void put(const std::string& name, const std::string& text) const { std::ofstream(at(name)) << text; }
    std::string text_of(const std::string& name) const {
        std::ifstream in(at(name));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    Status write(const std::string& name, const std::string& text, Existing e = Existing::Replace) const {
        return write_file_atomic(at(name), reinterpret_cast<const uint8_t*>(text.data()), text.size(), e);
    }
    static mode_t mode_of(const std::string& path) {
        struct stat st {};
        lstat(path.c_str(), &st);
        return st.st_mode & 07777;
    }
};

TEST_F(HostFiles, AtomicWriteKeepsModesAndNeverGoesThroughALink) {
    mode_t old_mask = umask(027);
    EXPECT_FALSE(write("new", "one"));
    EXPECT_EQ(mode_of(at("new")), mode_t(0640)) << "a new file honours the umask";
    umask(old_mask);

    put("private", "old");
    chmod(at("private").c_str(), 0600);
    EXPECT_FALSE(write("private", "new"));
    EXPECT_EQ(text_of("private"), "new");
    EXPECT_EQ(mode_of(at("private")), mode_t(0600)) << "a replaced file keeps its mode";

    Status kept = write("private", "other", Existing::Keep);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->code, exitcode::USAGE);
    EXPECT_EQ(text_of("private"), "new") << "Existing::Keep leaves the file alone";

    put("target", "outside");
    fs::create_symlink(at("target"), at("link"));
    Status linked = write("link", "through");
    ASSERT_TRUE(linked);
    EXPECT_EQ(linked->code, exitcode::USAGE);
    EXPECT_EQ(text_of("target"), "outside") << "nothing is written through a link";
    EXPECT_TRUE(fs::is_symlink(at("link")));

    // No temporary is left beside a finished write.
    for (const auto& e : fs::directory_iterator(dir)) {
        EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
    }
}

TEST_F(HostFiles, StaleTemporariesOfOneFileAreRemoved) {
    put(".flash.bin.a1B2c3", "left by a kill");
    put(".flash.bin.zzzzzz", "left by a kill");
    put(".flash.bin.toolong1", "not a temporary of ours");
    put(".ec-ram.bin.a1B2c3", "another file's");
    put("flash.bin", "the file itself");
    EXPECT_EQ(remove_stale_temporaries(at("flash.bin")), 2u);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir)) {
        left.push_back(e.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".ec-ram.bin.a1B2c3", ".flash.bin.toolong1", "flash.bin"}));
}

TEST_F(HostFiles, OneHolderOfTheBoardLockAtATime) {
    BoardLock first, second;
    ASSERT_FALSE(first.acquire(dir.string(), 0));
    EXPECT_EQ(text_of(BOARD_LOCK_FILE), std::to_string(getpid()) + "\n") << "the holder names itself";

    auto start = std::chrono::steady_clock::now();
    Status busy = second.acquire(dir.string(), 0.2);
    auto waited = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->code, exitcode::BUSY);
    EXPECT_EQ(busy->text, "board busy (held by pid " + std::to_string(getpid()) + ")");
    EXPECT_GE(waited, std::chrono::milliseconds(200)) << "--wait is waited for";
    EXPECT_LT(waited, std::chrono::seconds(2)) << "and no longer";

    first.release();
    EXPECT_FALSE(second.acquire(dir.string(), 0)) << "a released lock is free";

    // A lock file that is a link is refused, and what it names is untouched.
    fs::path other = dir / "other";
    fs::create_directory(other);
    put("outside", "keep");
    fs::create_symlink(at("outside"), other / BOARD_LOCK_FILE);
    BoardLock third;
    Status linked = third.acquire(other.string(), 0);
    ASSERT_TRUE(linked);
    EXPECT_EQ(linked->code, exitcode::USAGE);
    EXPECT_EQ(text_of("outside"), "keep");

    Status missing = third.acquire((dir / "no-such-folder").string(), 0);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->code, exitcode::ENVIRONMENT);
}

// The lock is the folder's: deleting or replacing the lock file under its
// holder lets no second one in, nor does a reader; a waiter that is told
// to give up stops at once.
TEST_F(HostFiles, TheLockIsTheFoldersNotTheFiles) {
    BoardLock holder;
    ASSERT_FALSE(holder.acquire(dir.string(), 0));
    struct Case {
        const char* name;
        void (*change)(const fs::path& dir);
        bool reader;
    } cases[] = {
        {"the lock file deleted", [](const fs::path& d) { fs::remove(d / BOARD_LOCK_FILE); }, false},
        {"the lock file replaced",
         [](const fs::path& d) {
             fs::remove(d / BOARD_LOCK_FILE);
             std::ofstream(d / BOARD_LOCK_FILE) << "1\n";
         },
         false},
        {"a reader", [](const fs::path&) {}, true},
    };
    for (const Case& c : cases) {
        c.change(dir);
        BoardLock second;
        Status busy = second.acquire(dir.string(), 0, c.reader);
        ASSERT_TRUE(busy) << c.name << ": a second holder let in";
        EXPECT_EQ(busy->code, exitcode::BUSY) << c.name;
    }
    BoardLock waiter;
    int asked = 0;
    auto start = std::chrono::steady_clock::now();
    Status given_up = waiter.acquire(dir.string(), 60, false, nullptr, [&] { return ++asked >= 2; });
    ASSERT_TRUE(given_up);
    EXPECT_EQ(given_up->code, exitcode::BUSY);
    EXPECT_EQ(asked, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "waited out the 60 s";
}

// Who may change what the board trusts: the caller or root owns it, and
// neither its group nor others may write it.
TEST_F(HostFiles, OnlyItsOwnerMayWriteWhatTheBoardTrusts) {
    put("key", "k");
    fs::create_directory(at("folder"));
    struct Case {
        const char* path;
        fs::perms mode;
        const char* error;  // nullptr: trusted
    } cases[] = {
        {"key",
         fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read,
         nullptr},
        {"key", fs::perms::owner_read | fs::perms::group_write, "key: writable by others (mode 0420)"},
        {"key", fs::perms::owner_read | fs::perms::others_write, "writable by others (mode 0402)"},
        {"folder", fs::perms::owner_all | fs::perms::group_all,
         "folder: writable by others (mode 0770), so nothing in it is trusted (`chmod go-w"},
        {"folder", fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec, nullptr},
        {"missing", fs::perms::none, nullptr},
    };
    for (const Case& c : cases) {
        std::error_code ec;
        fs::permissions(at(c.path), c.mode, ec);
        Status err = check_private(at(c.path));
        if (!c.error) {
            EXPECT_FALSE(err) << c.path << ": " << err->text;
        } else {
            ASSERT_TRUE(err) << c.path;
            EXPECT_EQ(err->code, exitcode::USAGE);
            EXPECT_NE(err->text.find(c.error), std::string::npos) << err->text;
        }
    }
    if (geteuid() == 0) {
        ASSERT_EQ(chown(at("key").c_str(), 65534, 65534), 0);
        fs::permissions(at("key"), fs::perms::owner_read);
        Status other = check_private(at("key"));
        ASSERT_TRUE(other) << "a key another account owns";
        EXPECT_NE(other->text.find("owned by uid 65534, neither you nor root"), std::string::npos)
            << other->text;
    }
}

// A folder replaced whole: what it held goes, a link in its place is
// replaced as a link, and a folder left aside by a killed run is a
// temporary the next writer removes.
TEST_F(HostFiles, AFolderIsReplacedWhole) {
    fs::create_directory(at("store"));
    put("store/old.pub", "old");
    put("outside-keep", "keep");
    fs::create_directory(at("outside"));
    put("outside/mine.pub", "mine");
    fs::create_directory_symlink(at("outside"), at("linked"));
    for (const char* target : {"store", "linked", "new"}) {
        std::string fresh;
        ASSERT_FALSE(make_folder_aside(at(target), fresh)) << target;
        EXPECT_EQ(fs::path(fresh).filename().string().rfind(std::string(".") + target + ".", 0), 0u) << fresh;
        put(fs::path(fresh).filename().string() + "/new.pub", "new");
        ASSERT_FALSE(put_folder_in_place(fresh, at(target))) << target;
        EXPECT_FALSE(fs::is_symlink(at(target))) << target;
        EXPECT_EQ(text_of(std::string(target) + "/new.pub"), "new") << target;
        EXPECT_FALSE(fs::exists(at(std::string(target) + "/old.pub"))) << target;
    }
    EXPECT_EQ(text_of("outside/mine.pub"), "mine") << "written through the link";
    std::string left;
    ASSERT_FALSE(make_folder_aside(at("store"), left));
    EXPECT_EQ(remove_stale_temporaries_in(dir.string(), [](const std::string& n) { return n == "store"; }),
              1u);
    EXPECT_FALSE(fs::exists(left));
    EXPECT_TRUE(fs::exists(at("store/new.pub")));
}

struct ReadCase {
    const char* name;
    const char* error;  // nullptr: read
};

// Keys and signatures: regular files only, never through a link, bounded.
TEST_F(HostFiles, SmallFilesAreRegularUnlinkedAndBounded) {
    put("key", "0123456789");
    put("long", std::string(11, 'x'));
    fs::create_symlink(at("key"), at("link"));
    mkfifo(at("fifo").c_str(), 0600);
    fs::create_directory(dir / "folder");
    const ReadCase cases[] = {
        {"key", nullptr},
        {"long", "more than 10 bytes"},
        {"link", "is a symbolic link"},
        {"fifo", "not a regular file"},  // never waited on
        {"folder", "is a directory"},
        {"missing", "no such file"},
    };
    for (const ReadCase& c : cases) {
        std::string out;
        Status err = read_small_file(at(c.name), 10, out);
        if (!c.error) {
            EXPECT_FALSE(err) << c.name;
            EXPECT_EQ(out, "0123456789");
        } else {
            ASSERT_TRUE(err) << c.name;
            EXPECT_EQ(err->code, exitcode::USAGE) << c.name;
            EXPECT_NE(err->text.find(c.error), std::string::npos) << c.name << ": " << err->text;
        }
    }
    // An image may be reached through a link; it is exactly 2 MiB.
    std::vector<uint8_t> image(IMAGE_FILE_BYTES, 0x5A);
    ASSERT_FALSE(write_image_file(at("image.bin"), image));
    fs::create_symlink(at("image.bin"), at("image-link.bin"));
    std::vector<uint8_t> back;
    EXPECT_FALSE(read_image_file(at("image-link.bin"), back));
    EXPECT_EQ(back, image);
    std::ofstream(at("image.bin"), std::ios::app) << 'x';
    Status longer = read_image_file(at("image.bin"), back);
    ASSERT_TRUE(longer);
    EXPECT_NE(longer->text.find("more than 2097152 bytes"), std::string::npos) << longer->text;
}

// A bounded read stops at its bound, whatever the file's size: the buffer
// follows the file, the bound the caller's.
TEST_F(HostFiles, ABoundedReadStopsAtItsBound) {
    struct Case {
        size_t file, bound, got;
    } const cases[] = {
        {11, 4, 4},                 // far below the first buffer
        {11, 100000, 11},           // a small file, a large bound
        {200000, 70000, 70000},     // past the first buffer, stopped by the bound
        {200000, 1 << 20, 200000},  // past the first buffer, read whole
        {0, 10, 0},
    };
    for (const Case& c : cases) {
        put("sized", std::string(c.file, 'z'));
        std::vector<uint8_t> out;
        ASSERT_FALSE(read_bounded(at("sized"), c.bound, Links::Refuse, "a file", out)) << c.file;
        EXPECT_EQ(out.size(), c.got) << c.file << " bytes, bound " << c.bound;
    }
}

struct BackupNameCase {
    const char* name;
    std::optional<records::DatedBackup> want;
};

// Pruning removes what parses: only the tool's own names may.
TEST(DatedBackup, OnlyTheToolsOwnNames) {
    const BackupNameCase cases[] = {
        {"backup-20261209-153609-rev0.bin", records::DatedBackup{"20261209-153609", 1}},
        {"backup-20261209-153609-2-rev1.bin", records::DatedBackup{"20261209-153609", 2}},
        {"backup-20261209-153609-12-rev255.bin", records::DatedBackup{"20261209-153609", 12}},
        {"backup-before-the-trip-revA.bin", std::nullopt},
        {"backup-my-own-copy-of-rev0.bin", std::nullopt},
        {"backup-2026120x-153609-rev0.bin", std::nullopt},
        {"backup-20261209_153609-rev0.bin", std::nullopt},
        {"backup-20261209-153609--rev0.bin", std::nullopt},
        {"backup-20261209-153609-rev.bin", std::nullopt},
        {"backup-20261209-153609-rev0.bin.bak", std::nullopt},
        {"backup-20261209-15360-rev0.bin", std::nullopt},
        {"Backup-20261209-153609-rev0.bin", std::nullopt},
        {"backup-20261209-153609-incomplete.bin", records::DatedBackup{"20261209-153609", 1}},
        {"backup-20261209-153609-3-incomplete.bin", records::DatedBackup{"20261209-153609", 3}},
        {"backup-20261209-153609-incomplete-rev0.bin", std::nullopt},
        {"backup-20261209-153609-complete.bin", std::nullopt},
    };
    for (const BackupNameCase& c : cases) {
        auto got = records::parse_dated_backup(c.name);
        ASSERT_EQ(got.has_value(), c.want.has_value()) << c.name;
        if (got) {
            EXPECT_EQ(got->stamp, c.want->stamp) << c.name;
            EXPECT_EQ(got->sequence, c.want->sequence) << c.name;
        }
    }
}

struct PlanCase {
    const char* name;
    std::vector<uint32_t> changed;  // flash offsets whose byte the image changes
    int32_t counted;                // the library's dry-run count: 16 per copy area, 1 per changed block
    bool first_copy_pass;           // what that count says of pass c
    int32_t want_writes;
};

// The writes an update makes, pass by pass: each copy it places costs a
// write where the copy area differs, and another when pass e restores it.
TEST(UpdatePlan, WritesPassByPass) {
    kimage::ImageOptions o;
    o.seed = 9;
    const std::vector<uint8_t> installed = kimage::make_image(o).bytes;
    const PlanCase cases[] = {
        {"the same image", {}, 32, true, 32 + 32},
        {"the same image, pass c skipped", {}, 16, false, 16 + 16},
        {"one block in the rest", {0x100000}, 33, true, 64 + 1},
        {"one block in the rest, pass c skipped", {0x100000}, 17, false, 32 + 1},
        {"one block of the boot block", {0x1F8000}, 33, true, 64 + 1},
        {"one block of the first 64 KiB", {0x4000}, 33, true, 64 + 1},
        {"two bytes of one block", {0x100000, 0x100FFF}, 33, true, 64 + 1},
    };
    for (const PlanCase& c : cases) {
        std::vector<uint8_t> image = installed;
        for (uint32_t at : c.changed) {
            image[at] ^= 0xFF;
        }
        UpdatePlan plan = plan_update(installed, image, c.counted);
        EXPECT_EQ(plan.block_writes, c.want_writes) << c.name;
        EXPECT_EQ(plan.first_copy_pass, c.first_copy_pass) << c.name;
    }
}

}  // namespace
