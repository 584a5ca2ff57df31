// Signing and the trusted keys: a signature verifies only with its own
// key over its own hash, and a trust store is read whole or refused.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "signing.h"
#include "trust_store.h"

namespace fs = std::filesystem;

namespace {

class Signing : public ::testing::Test {
protected:
    void SetUp() override {
        std::string t = (fs::temp_directory_path() / "kova-signing.XXXXXX").string();
        ASSERT_NE(mkdtemp(t.data()), nullptr);
        dir = t;
        for (const char* name : {"vendor", "other"}) {
            ASSERT_FALSE(signing::generate_key_pair((dir / name).string())) << name;
        }
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string at(const std::string& name) const { return (dir / name).string(); }
    signing::PublicKey key(const std::string& name) const {
        signing::PublicKey k;
        EXPECT_FALSE(signing::read_public_key(at(name + ".pub"), k)) << name;
        return k;
    }

    fs::path dir;
};

TEST_F(Signing, OnlyItsKeyOverItsHashVerifies) {
    const std::vector<uint8_t> image(4096, 0x5A);
    const sigfile::Hash hash = signing::sha256(image.data(), image.size());
    sigfile::SignatureFile sig;
    ASSERT_FALSE(signing::sign(at("vendor.key"), hash, sig));
    const signing::PublicKey vendor = key("vendor"), other = key("other");

    EXPECT_EQ(sig.key_id, vendor.id) << "the signature names the key that made it";
    EXPECT_EQ(sig.image_sha256, hash);
    EXPECT_NE(vendor.id, other.id);

    sigfile::Hash other_hash = hash;
    other_hash[31] ^= 1;
    sigfile::Signature flipped = sig.signature;
    flipped[40] ^= 0x10;
    struct Case {
        const char* name;
        const signing::PublicKey& key;
        const sigfile::Hash& hash;
        const sigfile::Signature& signature;
        bool good;
    } cases[] = {
        {"its key, its hash", vendor, hash, sig.signature, true},
        {"another key", other, hash, sig.signature, false},
        {"another hash", vendor, other_hash, sig.signature, false},
        {"a bit of s flipped", vendor, hash, flipped, false},
        {"all zero", vendor, hash, sigfile::Signature{}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(signing::verify(c.key, c.hash, c.signature), c.good) << c.name;
    }

    // A public key is not a private one, and a private key is never replaced.
    EXPECT_TRUE(signing::sign(at("vendor.pub"), hash, sig));
    Status again = signing::generate_key_pair(at("vendor"));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->code, exitcode::USAGE);
}

TEST_F(Signing, TrustStoreIsReadWholeOrRefused) {
    std::vector<signing::PublicKey> keys;
    EXPECT_FALSE(trust::load(at("none"), keys)) << "no folder: no trusted key";
    EXPECT_TRUE(keys.empty());

    const std::string store = at("store");
    signing::PublicKey added;
    ASSERT_FALSE(trust::add(store, at("vendor.pub"), added));
    EXPECT_EQ(added.name, "vendor");
    EXPECT_FALSE(trust::add(store, at("vendor.pub"), added)) << "the same key again is no change";
    fs::create_directory(at("elsewhere"));
    fs::copy_file(at("other.pub"), at("elsewhere/vendor.pub"));
    EXPECT_TRUE(trust::add(store, at("elsewhere/vendor.pub"), added)) << "another key under a trusted name";
    ASSERT_FALSE(trust::add(store, at("other.pub"), added));
    std::ofstream(store + "/.vendor.pub.a1B2c3") << "a temporary of a killed write";
    std::ofstream(store + "/notes.txt") << "not a key";
    ASSERT_FALSE(trust::load(store, keys));
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].name, "other");
    EXPECT_EQ(keys[1].name, "vendor");
    EXPECT_EQ(keys[1].id, key("vendor").id);

    struct Bad {
        const char* name;
        void (*make)(const std::string& store, const std::string& keys_dir);
        const char* error;
    } bad[] = {
        {"a file that is no key",
         [](const std::string& s, const std::string&) { std::ofstream(s + "/junk.pub") << "x"; },
         "junk.pub: not a P-256 public key"},
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
        Status err = trust::load(s, keys);
        ASSERT_TRUE(err) << b.name;
        EXPECT_EQ(err->code, exitcode::USAGE) << b.name;
        EXPECT_NE(err->text.find(b.error), std::string::npos) << b.name << ": " << err->text;
    }
}

}  // namespace
