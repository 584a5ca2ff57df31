// kova-image: makes well-formed firmware images for the K5R, shows what the
// library will find in any image, and maps where two images differ.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <sstream>

#include "atomic_file.h"
#include "block_map.h"
#include "builder.h"
#include "cli.h"
#include "file_read.h"
#include "frame/bytes.h"
#include "image_file.h"
#include "image_identity.h"
#include "inspect.h"
#include "kit_signature.h"
#include "kova.h"
#include "signature_file.h"
#include "signature_verdict.h"
#include "signing.h"
#include "trust_store.h"
#include "update/image.h"
#include "utf8_path.h"

namespace {

constexpr size_t CANDIDATES_SHOWN = 16;

std::vector<uint8_t> read_image(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (Status err = read_image_file(path, bytes)) {
        throw *err;
    }
    return bytes;
}

// --replace: an output may replace an existing file (never an input).
bool replace_outputs = false;

// A file that cannot be written is a bad file to this tool, as one that
// cannot be read: exit 2.
void write_image(const std::string& path, const std::vector<uint8_t>& bytes) {
    if (Status err = write_image_file(path, bytes, replace_outputs ? Existing::Replace : Existing::Keep)) {
        throw Error{exitcode::USAGE, err->text};
    }
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

int inspect(const std::string& path) {
    std::vector<uint8_t> img = read_image(path);
    kimage::Inspection r = kimage::inspect_image(img.data());
    std::printf("file          : %s\n", path.c_str());
    std::printf("size          : %zu bytes\n", img.size());
    std::printf("boot block    : sum 0x%08X %s\n", r.boot_block_sum,
                r.boot_block_sum == 0 ? "(zero, ok)" : "(NOT zero)");
    std::printf("\"AMIBIOSC\"    : %zu found\n", r.candidates.size());
    for (size_t i = 0; i < r.candidates.size() && i < CANDIDATES_SHOWN; ++i) {
        const auto& c = r.candidates[i];
        std::printf("  at 0x%06X followed by \"%s\"%s\n", c.offset, c.revision.c_str(),
                    c.is_header ? "  <- ROM header" : "");
    }
    if (r.candidates.size() > CANDIDATES_SHOWN) {
        std::printf("  ... %zu more\n", r.candidates.size() - CANDIDATES_SHOWN);
    }
    if (r.header) {
        std::printf("link form     : %s (header flags 0x%02X)\n", r.link32 ? "32-bit" : "segment:offset",
                    r.header_flags);
    }
    if (!r.modules.empty()) {
        std::printf("modules       : %zu\n", r.modules.size());
        std::printf("  %-4s %-10s %-10s %-5s %-10s %s\n", "#", "position", "size", "flags", "sum", "verdict");
        for (size_t i = 0; i < r.modules.size(); ++i) {
            const auto& m = r.modules[i];
            std::printf("  %-4zu 0x%06X   0x%08X 0x%02X  0x%08X %s%s%s\n", i, m.position, m.size, m.flags,
                        m.sum, m.ok ? "ok" : "BAD", m.note.empty() ? "" : ": ", m.note.c_str());
        }
    }
    std::printf("module chain  : %s (%s)\n", r.chain_valid ? "valid" : "INVALID", r.chain_reason.c_str());
    if (r.boot_info) {
        const auto& b = *r.boot_info;
        std::string strings;
        for (const auto& s : b.strings) {
            strings += (strings.empty() ? "" : ", ") + quoted(s);
        }
        std::printf("boot-info     : \"$BOOTSI$\" at 0x%06X, revision %u, strings %s%s\n", b.offset,
                    unsigned(b.revision), strings.c_str(),
                    b.truncated ? " (runs into the end of the window)" : "");
    } else {
        std::printf("boot-info     : no \"$BOOTSI$\" in the top 64 KiB\n");
    }
    std::printf("platform tag  : \"%s\" at 0x%06X\n", r.platform_tag->c_str(), kimage::PLATFORM_TAG_OFFSET);

    // The verdict is the library's own: the same checks KOVA.dll makes
    // before it touches the board.
    bool library_valid = kova::boot_block_sum(img.data()) == 0 && kova::verify_module_chain(img.data()) == 1;
    // Whether the library would take updates once this image is installed:
    // the checks it makes of the installed firmware, applied to the image.
    auto why = ident::refusal(ident::read_identity(img.data()));
    std::string verdict = !library_valid ? "INVALID image"
                          : why          ? "valid image, but not installable: " + why->text
                                         : std::string("valid image for ") + ident::BOARD_MODEL;
    std::printf("verdict       : %s\n", verdict.c_str());
    if (library_valid != r.valid) {
        std::fprintf(stderr, "kova-image: inspect's own walk says %s, the library says %s\n",
                     r.valid ? "valid" : "invalid", library_valid ? "valid" : "invalid");
        return exitcode::WALKS_DISAGREE;
    }
    return library_valid ? exitcode::OK : exitcode::INVALID;
}

int diff(const std::string& a_path, const std::string& b_path) {
    std::vector<uint8_t> a = read_image(a_path), b = read_image(b_path);
    std::vector<bool> blocks = differing_blocks(a.data(), b.data());
    size_t differing = std::count(blocks.begin(), blocks.end(), true);
    std::printf("4 KiB blocks: '.' same, 'X' differs\n%s", draw_block_map(blocks).c_str());
    std::printf("%zu of %u blocks differ\n", differing, MAP_BLOCKS);
    return differing == 0 ? exitcode::OK : exitcode::INVALID;
}

// A key pair for signing images: NAME.key stays with whoever signs,
// NAME.pub goes into the trusted-keys folder of every board that takes
// the images.
int keygen(const std::string& base) {
    if (Status err = signing::generate_key_pair(base)) {
        throw *err;
    }
    signing::PublicKey key;
    if (Status err = signing::read_public_key(base + signing::PUBLIC_KEY_SUFFIX, key)) {
        throw *err;
    }
    std::printf("%s%s: private key (owner only; keep it off the boards)\n", base.c_str(),
                signing::PRIVATE_KEY_SUFFIX);
    std::printf("%s%s: public key, id %s (what a board trusts)\n", base.c_str(), signing::PUBLIC_KEY_SUFFIX,
                sigfile::hex(key.id.data(), key.id.size()).c_str());
    return exitcode::OK;
}

struct SignOptions {
    std::string image_path, key_path, out_path, release, security_version;
    std::string board = KOVA_mb;
    unsigned format_version = sigfile::FORMAT_VERSION;
};

// The signature of an image, with the release's facts (format 2) or
// without them (format 1, for boards whose tools predate them).
int sign(SignOptions o) {
    std::vector<uint8_t> img = read_image(o.image_path);
    sigfile::SignatureFile sig;
    sig.version = o.format_version;
    if (sig.version == sigfile::FORMAT_VERSION) {
        if (o.release.empty() || o.security_version.empty()) {
            throw Error{exitcode::USAGE,
                        "sign: --release TEXT and --security-version N state the release being signed"};
        }
        if (!sigfile::valid_release(o.release)) {
            throw Error{exitcode::USAGE, "--release: 1 to 32 letters, digits, '.', '-', '_' or '+'"};
        }
        if (!sigfile::valid_board(o.board)) {
            throw Error{exitcode::USAGE, "--board: 1 to 16 letters, digits, '-' or '_'"};
        }
        sig.board = o.board;
        sig.release = o.release;
        sig.security_version = number_argument(o.security_version, 0xFFFFFFFF, "--security-version");
    } else if (!o.release.empty() || !o.security_version.empty()) {
        throw Error{exitcode::USAGE, "a format 1 signature carries no release facts"};
    }
    sig.image_sha256 = signing::sha256(img.data(), img.size());
    o.out_path = o.out_path.empty() ? o.image_path + ".sig" : o.out_path;
    // Never over what it reads: the image, the key.
    if (Status err = refuse_input_as_output(o.out_path, {o.image_path, o.key_path})) {
        throw *err;
    }
    if (Status err = signing::sign(o.key_path, sig)) {
        throw *err;
    }
    const std::string text = sigfile::format(sig);
    if (Status err = write_file_atomic(o.out_path, reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                                       replace_outputs ? Existing::Replace : Existing::Keep)) {
        if (err->code == exitcode::USAGE && !replace_outputs) {
            err->text += " (--replace replaces it)";
        }
        throw Error{exitcode::USAGE, err->text};
    }
    std::string facts = sig.version == sigfile::FORMAT_VERSION
                            ? ", board " + sig.board + ", release " + sig.release + ", security version " +
                                  std::to_string(sig.security_version)
                            : " (format 1: no release facts)";
    std::printf("%s: signature of %s by key %s%s\n", o.out_path.c_str(), o.image_path.c_str(),
                sigfile::hex(sig.key_id.data(), sig.key_id.size()).c_str(), facts.c_str());
    return exitcode::OK;
}

// The signature of a kit's checksum list, made with the release key (a key
// of its own: boards never trust it, and the firmware key never signs
// kits). Written beside the list as SHA256SUMS.sig unless --out says.
int sign_kit(const std::string& sums_path, const std::string& key_path, const std::string& kit,
             std::string out_path) {
    if (!kitsig::valid_kit_name(kit)) {
        throw Error{exitcode::USAGE, "--kit: 1 to 32 letters, digits, '.', '-', '_' or '+'"};
    }
    std::string sums;
    if (Status err = read_text_file(sums_path, kitsig::MAX_SUMS_BYTES, "a kit's checksum list", sums)) {
        throw *err;
    }
    if (sums.empty()) {
        throw Error{exitcode::USAGE, sums_path + ": empty, not a kit's checksum list"};
    }
    if (out_path.empty()) {
        out_path = u8::text(u8::path(sums_path).parent_path() / kitsig::SIGNATURE_FILE);
    }
    if (Status err = refuse_input_as_output(out_path, {sums_path, key_path})) {
        throw *err;
    }
    kitsig::KitSignature k;
    k.kit = kit;
    k.sums_sha256 = signing::sha256(reinterpret_cast<const uint8_t*>(sums.data()), sums.size());
    Status err = signing::sign_with(
        key_path,
        [&k](const sigfile::KeyId& id) {
            k.key_id = id;
            const std::string text = kitsig::signed_text(k);
            return signing::sha256(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        },
        k.key_id, k.signature);
    if (err) {
        throw *err;
    }
    const std::string text = kitsig::format(k);
    if (Status werr = write_file_atomic(out_path, reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                                        replace_outputs ? Existing::Replace : Existing::Keep)) {
        throw Error{exitcode::USAGE, werr->text + (replace_outputs ? "" : " (--replace replaces it)")};
    }
    std::printf("%s: signature of %s (kit %s) by release key %s\n", out_path.c_str(), sums_path.c_str(),
                kit.c_str(), sigfile::hex(k.key_id.data(), k.key_id.size()).c_str());
    return exitcode::OK;
}

// Who signed the image, if a key in `trust_dir` did: exit 0 for a good
// signature by a trusted key, 1 for any other signature, 2 for a missing or
// bad signature file.
int verify_signature(const std::string& image_path, std::string sig_path, const std::string& trust_dir) {
    std::vector<uint8_t> img = read_image(image_path);
    std::vector<signing::PublicKey> keys;
    if (Status err = trust::load(trust_dir, trust::Folder::Named, keys)) {
        throw *err;
    }
    using trust::SignatureState;
    trust::Verdict v =
        trust::judge(img, image_path, sig_path.empty() ? image_path + ".sig" : sig_path, keys, trust_dir);
    if (v.state == SignatureState::Missing || v.state == SignatureState::Malformed) {
        throw Error{exitcode::USAGE, v.text};
    }
    std::string facts = v.format_version >= sigfile::FORMAT_VERSION
                            ? "; board " + v.board + ", release " + v.release + ", security version " +
                                  std::to_string(v.security_version)
                            : "";
    std::printf("%s: %s%s\n", image_path.c_str(), v.text.c_str(), facts.c_str());
    return v.state == SignatureState::Good ? exitcode::OK : exitcode::INVALID;
}

std::vector<uint32_t> size_list(const std::string& text) {
    std::vector<uint32_t> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        out.push_back(number_argument(item, kimage::IMAGE_SIZE, "module size"));
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kova-image: make, inspect, compare and sign K5R firmware images"};
    app.require_subcommand(1);
    // --replace may stand before or after the command.
    app.fallthrough();
    // Paths start with '/' under Wine too: no "/option" forms.
    app.allow_windows_style_options(false);

    kimage::ImageOptions opt;
    std::string out_path, seed_text = "1", revision_text = "1", modules_text, module_size_text, sizes_text,
                          header_only_text, header_offset_text, fill_text;
    bool segmented = false;
    auto* make = app.add_subcommand("make", "write a well-formed 2 MiB image");
    make->add_option("OUT", out_path, "image file to write")->required();
    make->add_flag("--segmented", segmented, "segment:offset links (default: 32-bit links)");
    make->add_option("--modules", modules_text, "number of modules, all of --module-size");
    make->add_option("--module-size", module_size_text, "data bytes of each module (with --modules)");
    make->add_option("--sizes", sizes_text, "data bytes of each module, comma-separated")
        ->excludes("--modules")
        ->excludes("--module-size");
    make->add_option("--header-only", header_only_text,
                     "module index that gets flag bit 6 (header summed only)");
    make->add_option("--header-offset", header_offset_text, "image offset of the ROM header's \"AMIBIOSC\"");
    make->add_option("--revision", revision_text, "boot-info revision byte (the board takes 0 or 1)");
    make->add_option("--seed", seed_text, "seed of the filler bytes");
    make->add_option("--fill", fill_text,
                     "one byte for all the filler (an image that compresses, as real "
                     "firmware does); default: bytes from --seed")
        ->excludes("--seed");
    make->add_option("--model", opt.model, "boot-info board model string");
    make->add_option("--vendor", opt.vendor, "boot-info vendor string");
    make->add_option("--second", opt.second, "boot-info second string (the board takes the empty one)");
    make->add_option("--platform-tag", opt.platform_tag, "bytes at image offset 0x1FFFE0");
    std::vector<std::string> poke_texts;
    make->add_option("--poke", poke_texts,
                     "OFFSET=VALUE: a filler byte set before the sums are made (repeatable)");

    std::string inspect_path, a_path, b_path;
    auto* insp = app.add_subcommand("inspect", "show what the library finds in an image");
    insp->add_option("FILE", inspect_path, "image file")->required();
    auto* dif = app.add_subcommand("diff", "map the 4 KiB blocks where two images differ");
    dif->add_option("A", a_path, "first image")->required();
    dif->add_option("B", b_path, "second image")->required();

    app.add_flag("--replace", replace_outputs, "an output may replace an existing file (never an input)");
    SignOptions sign_opt;
    std::string format_text;
    std::string key_base, check_image, sig_path, trust_dir;
    auto* keygen_cmd =
        app.add_subcommand("keygen", "make a P-256 key pair for signing images: NAME.key, NAME.pub");
    keygen_cmd->add_option("NAME", key_base, "path of the key pair without its suffix")->required();
    auto* sign_cmd = app.add_subcommand("sign", "write IMAGE.sig, the detached signature of IMAGE");
    sign_cmd->add_option("IMAGE", sign_opt.image_path, "image file")->required();
    sign_cmd->add_option("--key", sign_opt.key_path, "private key (NAME.key)")->required();
    sign_cmd->add_option("--out", sign_opt.out_path, "signature file (default: IMAGE.sig; never an input)");
    sign_cmd->add_option("--release", sign_opt.release, "the release's version text, for example 05.02");
    sign_cmd->add_option("--security-version", sign_opt.security_version,
                         "the release's security version: a whole number the vendor raises when a release "
                         "fixes a flaw; boards refuse images below the highest they installed");
    sign_cmd->add_option("--board", sign_opt.board, "the board model the release is for")
        ->capture_default_str();
    sign_cmd->add_option("--format-version", format_text,
                         "1: the format without release facts, for tools that predate them (default 2)");
    auto* verify_cmd = app.add_subcommand("verify-signature", "say who signed IMAGE, if a trusted key did");
    verify_cmd->add_option("IMAGE", check_image, "image file")->required();
    verify_cmd->add_option("--trust", trust_dir, "folder of trusted public keys (NAME.pub)")->required();
    verify_cmd->add_option("--signature", sig_path, "signature file (default: IMAGE.sig)");

    std::string sums_path, kit_key, kit_name, kit_out;
    auto* sign_kit_cmd = app.add_subcommand(
        "sign-kit", "write SHA256SUMS.sig, the signature of a kit's checksum list, with the release key");
    sign_kit_cmd->add_option("SUMS", sums_path, "the kit's SHA256SUMS")->required();
    sign_kit_cmd->add_option("--key", kit_key, "the release's private key (not the firmware key)")
        ->required();
    sign_kit_cmd->add_option("--kit", kit_name, "the kit's name, for example KOVA-5.1")->required();
    sign_kit_cmd->add_option("--out", kit_out, "signature file (default: SHA256SUMS.sig beside SUMS)");

    if (auto status = parse_command_line(app, argc, argv)) {
        return *status;
    }

    try {
        if (make->parsed()) {
            opt.link32 = !segmented;
            opt.seed = number_argument(seed_text, 0xFFFFFFFF, "--seed");
            if (!fill_text.empty()) {
                opt.fill = uint8_t(number_argument(fill_text, 0xFF, "--fill"));
            }
            for (const std::string& poke : poke_texts) {
                size_t eq = poke.find('=');
                if (eq == std::string::npos) {
                    throw Error{exitcode::USAGE, "--poke " + poke + ": give OFFSET=VALUE"};
                }
                opt.pokes.push_back(
                    {number_argument(poke.substr(0, eq), kimage::IMAGE_SIZE - 1, "--poke offset"),
                     uint8_t(number_argument(poke.substr(eq + 1), 0xFF, "--poke value"))});
            }
            opt.revision = uint8_t(number_argument(revision_text, 0xFF, "--revision"));
            if (!sizes_text.empty()) {
                opt.module_sizes = size_list(sizes_text);
            } else if (!modules_text.empty() || !module_size_text.empty()) {
                uint32_t n = modules_text.empty() ? uint32_t(opt.module_sizes.size())
                                                  : number_argument(modules_text, 0xFFFF, "--modules");
                uint32_t size = module_size_text.empty()
                                    ? 0x4000
                                    : number_argument(module_size_text, kimage::IMAGE_SIZE, "--module-size");
                opt.module_sizes.assign(n, size);
            }
            if (!header_only_text.empty()) {
                opt.header_only_module = number_argument(header_only_text, 0xFFFF, "--header-only");
            }
            if (!header_offset_text.empty()) {
                opt.header_offset =
                    number_argument(header_offset_text, kimage::IMAGE_SIZE, "--header-offset");
            }
            kimage::Image img = kimage::make_image(opt);
            write_image(out_path, img.bytes);
            std::printf("%s: 2 MiB image, %zu modules, %s links, revision %u, %s %s\n", out_path.c_str(),
                        img.modules.size(), opt.link32 ? "32-bit" : "segment:offset", unsigned(opt.revision),
                        opt.fill ? "fill" : "seed", opt.fill ? fill_text.c_str() : seed_text.c_str());
            return 0;
        }
        if (insp->parsed()) {
            return inspect(inspect_path);
        }
        if (keygen_cmd->parsed()) {
            return keygen(key_base);
        }
        if (sign_cmd->parsed()) {
            if (!format_text.empty()) {
                sign_opt.format_version = number_argument(format_text, sigfile::FORMAT_VERSION_1,
                                                          sigfile::FORMAT_VERSION, "--format-version");
            }
            return sign(sign_opt);
        }
        if (sign_kit_cmd->parsed()) {
            return sign_kit(sums_path, kit_key, kit_name, kit_out);
        }
        if (verify_cmd->parsed()) {
            return verify_signature(check_image, sig_path, trust_dir);
        }
        return diff(a_path, b_path);
    } catch (const Error& e) {
        std::fprintf(stderr, "kova-image: %s\n", e.text.c_str());
        return e.code;
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "kova-image: %s\n", e.what());
        return exitcode::USAGE;
    }
}
