// Signing and the trusted keys: a signature verifies only with its own
// key over its own facts, and a trust store is read whole or refused.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "signing.h"
#include "temp_dir.h"
#include "trust_store.h"

namespace fs = std::filesystem;

namespace {

class Signing : public TempDirTest {
protected:
    Signing() : TempDirTest("kova-signing") {}
    void SetUp() override {
        TempDirTest::SetUp();
        for (const char* name : {"vendor", "other"}) {
            ASSERT_FALSE(signing::generate_key_pair((dir / name).string())) << name;
        }
    }
    signing::PublicKey key(const std::string& name) const {
        signing::PublicKey k;
        EXPECT_FALSE(signing::read_public_key(at(name + ".pub"), k)) << name;
        return k;
    }
};

TEST_F(Signing, OnlyItsKeyOverItsFactsVerifies) {
    const std::vector<uint8_t> image(4096, 0x5A);
    sigfile::SignatureFile sig;
    sig.board = "K5R";
    sig.release = "05.02";
    sig.security_version = 3;
    sig.image_sha256 = signing::sha256(image.data(), image.size());
    ASSERT_FALSE(signing::sign(at("vendor.key"), sig));
    const signing::PublicKey vendor = key("vendor"), other = key("other");
    EXPECT_EQ(sig.key_id, vendor.id) << "the signature names the key that made it";
    EXPECT_NE(vendor.id, other.id);

    // Each fact is under the signature: a file edited after signing fails.
    auto edited = [&](void (*edit)(sigfile::SignatureFile&)) {
        sigfile::SignatureFile e = sig;
        edit(e);
        return signing::signed_digest(e);
    };
    const sigfile::Hash digest = signing::signed_digest(sig);
    sigfile::Signature flipped = sig.signature;
    flipped[40] ^= 0x10;
    struct Case {
        const char* name;
        const signing::PublicKey& key;
        sigfile::Hash digest;
        const sigfile::Signature& signature;
        bool good;
    } cases[] = {
        {"its key, its facts", vendor, digest, sig.signature, true},
        {"another key", other, digest, sig.signature, false},
        {"the image hash alone", vendor, sig.image_sha256, sig.signature, false},
        {"security version lowered", vendor, edited([](auto& f) { f.security_version = 2; }), sig.signature,
         false},
        {"release renamed", vendor, edited([](auto& f) { f.release = "05.03"; }), sig.signature, false},
        {"another board", vendor, edited([](auto& f) { f.board = "K7X"; }), sig.signature, false},
        {"another image", vendor, edited([](auto& f) { f.image_sha256[0] ^= 1; }), sig.signature, false},
        {"a bit of s flipped", vendor, digest, flipped, false},
        {"all zero", vendor, digest, sigfile::Signature{}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(signing::verify(c.key, c.digest, c.signature), c.good) << c.name;
    }

    // Format 1 signs the image's hash itself.
    sigfile::SignatureFile v1;
    v1.version = sigfile::FORMAT_VERSION_1;
    v1.image_sha256 = sig.image_sha256;
    ASSERT_FALSE(signing::sign(at("vendor.key"), v1));
    EXPECT_EQ(signing::signed_digest(v1), v1.image_sha256);
    EXPECT_TRUE(signing::verify(vendor, v1.image_sha256, v1.signature));

    // A public key is not a private one, and a private key is never replaced.
    EXPECT_TRUE(signing::sign(at("vendor.pub"), sig));
    Status again = signing::generate_key_pair(at("vendor"));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->code, exitcode::USAGE);
}

TEST_F(Signing, TrustStoreAccountsForEveryEntry) {
    std::vector<signing::PublicKey> keys;
    EXPECT_FALSE(trust::load(at("none"), trust::Folder::Default, keys)) << "the board's own, missing: no key";
    EXPECT_TRUE(keys.empty());
    Status named = trust::load(at("none"), trust::Folder::Named, keys);
    ASSERT_TRUE(named) << "a folder named on the command line that is not there";
    EXPECT_NE(named->text.find("no such folder"), std::string::npos) << named->text;

    const std::string store = at("store");
    for (const char* name : {"third", "fourth", "fifth"}) {
        ASSERT_FALSE(signing::generate_key_pair(at(name))) << name;
    }
    fs::create_directory(store);
    fs::copy_file(at("third.pub"), store + "/UPPER.PUB");
    std::ofstream(store + "/.vendor.pub.a1B2c3") << "a temporary of a killed write";
    std::ofstream(store + "/._vendor.pub") << "macOS's resource fork of vendor.pub";
    trust::Added added;
    ASSERT_FALSE(trust::add(store, at("vendor.pub"), "vendor", false, added));
    EXPECT_TRUE(added.already_as.empty());
    ASSERT_FALSE(trust::add(store, at("other.pub"), "other", false, added));
    ASSERT_FALSE(trust::load(store, trust::Folder::Named, keys));
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0].name, "UPPER") << "the extension in any case, as Windows matches it";
    EXPECT_EQ(keys[1].name, "other");
    EXPECT_EQ(keys[2].name, "vendor");
    EXPECT_EQ(keys[2].id, key("vendor").id);

    // Adding: one entry a key, names one whatever their case.
    struct Add {
        const char* name;
        const char* key;
        const char* as;
        bool replace;
        const char* error;       // nullptr: taken
        const char* already_as;  // taken, and nothing added: the entry that holds it
    } adds[] = {
        {"the same key, same name", "vendor", "vendor", false, nullptr, "vendor"},
        {"the same key, another name", "vendor", "second", false, nullptr, "vendor"},
        {"the same key, replace", "vendor", "second", true, nullptr, "vendor"},
        {"another key, a trusted name in another case", "fourth", "VENDOR", false,
         "another key is trusted as vendor", nullptr},
        {"a no-break space in the name", "fourth",
         "ven\xc2\xa0"
         "dor",
         false, "a key's name is", nullptr},
        {"not UTF-8", "fourth", "ven\xff", false, "a key's name is", nullptr},
        {"a separator", "fourth", "a/b", false, "a key's name is", nullptr},
        {"a blank", "fourth", "a b", false, "a key's name is", nullptr},
        {"a leading dot", "fourth", ".hidden", false, "a key's name is", nullptr},
    };
    for (const Add& c : adds) {
        Status err = trust::add(store, at(std::string(c.key) + ".pub"), c.as, c.replace, added);
        if (c.error) {
            ASSERT_TRUE(err) << c.name;
            EXPECT_NE(err->text.find(c.error), std::string::npos) << c.name << ": " << err->text;
        } else {
            ASSERT_FALSE(err) << c.name << ": " << err->text;
            EXPECT_EQ(added.already_as, c.already_as) << c.name;
        }
        ASSERT_FALSE(trust::load(store, trust::Folder::Named, keys)) << c.name;
        EXPECT_EQ(keys.size(), 3u) << c.name << ": nothing added";
    }
    // --replace: the key that name held is said, and only that name changes.
    ASSERT_FALSE(trust::add(store, at("fifth.pub"), "OTHER", true, added));
    ASSERT_TRUE(added.replaced);
    EXPECT_EQ(added.replaced->name, "other");
    EXPECT_EQ(added.replaced->id, key("other").id);
    ASSERT_FALSE(trust::load(store, trust::Folder::Named, keys));
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[1].id, key("fifth").id);

    struct Bad {
        const char* name;
        void (*make)(const std::string& store, const std::string& keys_dir);
        const char* error;
    } bad[] = {
        {"a file that is no key",
         [](const std::string& s, const std::string&) { std::ofstream(s + "/junk.pub") << "x"; },
         "junk.pub: not a P-256 public key"},
        {"a key under another extension",
         [](const std::string& s, const std::string& k) {
             fs::copy_file(k + "/vendor.pub", s + "/vendor.pem");
         },
         "vendor.pem: not a trusted key"},
        {"notes", [](const std::string& s, const std::string&) { std::ofstream(s + "/README") << "x"; },
         "README: not a trusted key"},
        {"a folder", [](const std::string& s, const std::string&) { fs::create_directory(s + "/old.pub"); },
         "old.pub"},
        {"a link",
         [](const std::string& s, const std::string& k) {
             fs::create_symlink(k + "/vendor.pub", s + "/link.pub");
         },
         "link.pub: is a symbolic link"},
        {"one key under two names",
         [](const std::string& s, const std::string& k) {
             fs::copy_file(k + "/other.pub", s + "/second.pub");
         },
         "the same key is trusted as other and as second"},
        {"two names that differ in case",
         [](const std::string& s, const std::string& k) {
             fs::copy_file(k + "/vendor.pub", s + "/OTHER.pub");
         },
         "two keys are named"},
        {"a name outside the set",
         [](const std::string& s, const std::string& k) {
             fs::copy_file(k + "/vendor.pub", s + "/ven\xc2\xa0"
                                                  "dor.pub");
         },
         "not a trusted key's name"},
        {"a key others may write",
         [](const std::string& s, const std::string& k) {
             fs::copy_file(k + "/vendor.pub", s + "/vendor.pub");
             fs::permissions(s + "/vendor.pub", fs::perms::group_write, fs::perm_options::add);
         },
         "vendor.pub: writable by others (mode 0664)"},
        {"a store others may write",
         [](const std::string& s, const std::string&) {
             fs::permissions(s, fs::perms::others_write, fs::perm_options::add);
         },
         "writable by others"},
    };
    for (const Bad& b : bad) {
        const std::string s = at(std::string("bad-") + b.name);
        fs::create_directory(s);
        fs::permissions(s, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
        fs::copy_file(at("other.pub"), s + "/other.pub");
        b.make(s, dir.string());
        Status err = trust::load(s, trust::Folder::Default, keys);
        ASSERT_TRUE(err) << b.name;
        EXPECT_EQ(err->code, exitcode::USAGE) << b.name;
        EXPECT_NE(err->text.find(b.error), std::string::npos) << b.name << ": " << err->text;
        Status add_err = trust::add(s, at("third.pub"), "third", false, added);
        EXPECT_TRUE(add_err) << b.name << ": added to a store that is refused";
        EXPECT_FALSE(fs::exists(s + "/third.pub")) << b.name;
    }

    // A store that is a link or a file: refused for reading and for writing,
    // nothing written through it.
    fs::create_directory(at("real"));
    fs::create_directory_symlink(at("real"), at("linked"));
    std::ofstream(at("plain")) << "x";
    for (const char* name : {"linked", "plain"}) {
        EXPECT_TRUE(trust::load(at(name), trust::Folder::Default, keys)) << name;
        EXPECT_TRUE(trust::add(at(name), at("third.pub"), "third", false, added)) << name;
    }
    EXPECT_TRUE(fs::is_empty(at("real"))) << "a key written through the link";

    // Removing: by its name in any case; a name that is not there is an error.
    signing::PublicKey removed;
    ASSERT_FALSE(trust::remove(store, "Vendor", removed));
    EXPECT_EQ(removed.name, "vendor");
    EXPECT_FALSE(fs::exists(store + "/vendor.pub"));
    EXPECT_TRUE(trust::remove(store, "vendor", removed)) << "no such key any more";
    EXPECT_TRUE(fs::exists(store + "/._vendor.pub"));
}

// The store takes 64 keys and refuses a 65th when it is added, so that no
// later read finds a store it refuses.
TEST_F(Signing, TrustStoreTakesNoKeyPastItsBound) {
    const std::string store = at("full");
    trust::Added added;
    for (size_t i = 0; i <= trust::MAX_KEYS; ++i) {
        const std::string base = at("k" + std::to_string(i));
        ASSERT_FALSE(signing::generate_key_pair(base));
        Status err = trust::add(store, base + ".pub", "k" + std::to_string(i), false, added);
        if (i < trust::MAX_KEYS) {
            ASSERT_FALSE(err) << i << ": " << err->text;
        } else {
            ASSERT_TRUE(err) << "the 65th key";
            EXPECT_NE(err->text.find("holds 64 keys"), std::string::npos) << err->text;
        }
    }
    std::vector<signing::PublicKey> keys;
    ASSERT_FALSE(trust::load(store, trust::Folder::Default, keys));
    EXPECT_EQ(keys.size(), trust::MAX_KEYS);
}

}  // namespace
