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
    signing::PublicKey added;
    bool already = false;
    ASSERT_FALSE(trust::add(store, at("vendor.pub"), "vendor", false, added, already));
    EXPECT_FALSE(already);
    EXPECT_FALSE(trust::add(store, at("vendor.pub"), "vendor", false, added, already));
    EXPECT_TRUE(already) << "the same key again is no change";
    Status clash = trust::add(store, at("other.pub"), "VENDOR", false, added, already);
    ASSERT_TRUE(clash) << "another key under a trusted name, in another case";
    ASSERT_FALSE(trust::add(store, at("other.pub"), "other", false, added, already));
    fs::copy_file(at("vendor.pub"), store + "/UPPER.PUB");
    std::ofstream(store + "/.vendor.pub.a1B2c3") << "a temporary of a killed write";
    std::ofstream(store + "/._vendor.pub") << "macOS's resource fork of vendor.pub";
    ASSERT_FALSE(trust::load(store, trust::Folder::Named, keys));
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0].name, "UPPER") << "the extension in any case, as Windows matches it";
    EXPECT_EQ(keys[1].name, "other");
    EXPECT_EQ(keys[2].name, "vendor");
    EXPECT_EQ(keys[2].id, key("vendor").id);

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
        {"too many keys",
         [](const std::string& s, const std::string& k) {
             for (size_t i = 0; i < trust::MAX_KEYS; ++i) {
                 fs::copy_file(k + "/vendor.pub", s + "/k" + std::to_string(i) + ".pub");
             }
         },
         "more than 64 keys"},
    };
    for (const Bad& b : bad) {
        const std::string s = at(std::string("bad-") + b.name);
        fs::create_directory(s);
        fs::copy_file(at("other.pub"), s + "/other.pub");
        b.make(s, dir.string());
        Status err = trust::load(s, trust::Folder::Default, keys);
        ASSERT_TRUE(err) << b.name;
        EXPECT_EQ(err->code, exitcode::USAGE) << b.name;
        EXPECT_NE(err->text.find(b.error), std::string::npos) << b.name << ": " << err->text;
    }

    // Removing a key removes its file; board init's clean slate removes every key and nothing else.
    ASSERT_FALSE(trust::remove(store, "other"));
    EXPECT_TRUE(trust::remove(store, "other")) << "no such key any more";
    std::vector<std::string> removed;
    ASSERT_FALSE(trust::remove_all(store, removed));
    EXPECT_EQ(removed, (std::vector<std::string>{"UPPER", "vendor"}));
    EXPECT_TRUE(fs::exists(store + "/._vendor.pub"));
}

}  // namespace
