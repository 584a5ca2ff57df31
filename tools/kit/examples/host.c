/*
 * A host to start from: C89, kova.h, linked with the import library (no
 * LoadLibrary). Holding the board's mutex around every call into KOVA.dll,
 * it prints the library's identity, checks the image named on the command
 * line (the library's dry run: nothing is written), reads the platform tag
 * from the serial flash and round-trips a byte of EC RAM, putting back what
 * the byte held, so the board is left as it was found. With "update KEY.pub"
 * after the image it checks the image's signature (IMAGE.sig, format 2)
 * against that key with CNG, and only then writes the image, showing
 * progress from a second thread, then checks again that nothing is left
 * to write. When the recording ZUNDA.dll of the kit's diagnostics folder
 * stands in for the maker's, it notes each call into KOVA.dll and its
 * outcome in the trace, as a replay needs them. Exit status 0 when the
 * check (and the update) succeed, 3 when the signature does not check
 * out.
 *
 * Build it in the kit's folder (define no macro), then ship host.exe with
 * KOVA.dll and ZUNDA.dll beside it:
 *   MinGW:          i686-w64-mingw32-gcc examples/host.c -I. -L. -lKOVA -lbcrypt -lcrypt32 -o host.exe
 *   MSVC (x86):     cl /I. examples\host.c KOVA.lib bcrypt.lib crypt32.lib
 *   clang-cl (x86): clang-cl --target=i686-pc-windows-msvc /I. examples\host.c KOVA.lib bcrypt.lib
 * crypt32.lib Run it on the board as administrator: host.exe new.bin [update vendor.pub]
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
/* windows.h first: these need its types. */
#include <bcrypt.h>
#include <wincrypt.h>

#include "kova.h"

/*
 * One process at a time on the board: kovaflash and every other host hold
 * this mutex around every call into KOVA.dll, reads included (each drives
 * the hardware in several steps). WAIT_ABANDONED means its last holder
 * died: it is ours now.
 */
#define BOARD_MUTEX "Global\\KOVA-K5R-firmware"

/* These assignments compile only if kova.h declares the entries __stdcall. */
typedef kova_u32(__stdcall* image_entry)(const void*, kova_u32, kova_u32);
typedef kova_u32(__stdcall* ec_read)(kova_u32);

#define IMAGE_BYTES 0x200000L
/* The firmware callback handle of the board maker's ZUNDA.dll. */
#define FIRMWARE_HANDLE 1
/* The platform tag's place in the flash, and its length. KOVA_read_flash_byte
 * returns the last of the sixteen bytes it clocks: ask for address - 15. */
#define TAG_ADDRESS 0x1FFFE0L
#define TAG_BYTES 5
#define FLASH_READ_LEAD 15
/* How often the progress thread looks at the counter, in milliseconds. */
#define PROGRESS_POLL_MS 50
/* The EC RAM byte the example writes, and the value it writes there. */
#define EC_INDEX 0x40
#define EC_TRIAL_VALUE 0x5A

/* The signature file and the key, as README.txt describes them. */
#define SIG_MAX_BYTES 512
#define KEY_MAX_BYTES 4096
#define HASH_BYTES 32
#define POINT_BYTES 64
#define SIGNATURE_BYTES 64
#define KEY_ID_BYTES 8
#define SIG_FORMAT_LINE "kova-image-signature 2"
#define SIG_BOARD_LINE "board K5R"
#define EXIT_REFUSED 3

static int read_small(const char* path, char* out, long max, long* got) {
    FILE* f = fopen(path, "rb");
    if (f == NULL) {
        return 0;
    }
    *got = (long)fread(out, 1, (size_t)max, f);
    fclose(f);
    out[*got < max ? *got : max - 1] = '\0';
    return *got > 0 && *got < max;
}

/* SHA-256 with the calls Windows Vista has. */
static int sha256(const unsigned char* data, unsigned long size, unsigned char* out) {
    BCRYPT_ALG_HANDLE alg = NULL;
    BCRYPT_HASH_HANDLE hash = NULL;
    int ok = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, NULL, 0) == 0 &&
             BCryptCreateHash(alg, &hash, NULL, 0, NULL, 0, 0) == 0 &&
             BCryptHashData(hash, (PUCHAR)data, size, 0) == 0 &&
             BCryptFinishHash(hash, out, HASH_BYTES, 0) == 0;
    if (hash != NULL) {
        BCryptDestroyHash(hash);
    }
    if (alg != NULL) {
        BCryptCloseAlgorithmProvider(alg, 0);
    }
    return ok;
}

static int hex_bytes(const char* text, unsigned char* out, int n) {
    int i, hi, lo;
    for (i = 0; i < n; ++i) {
        hi = text[2 * i];
        lo = text[2 * i + 1];
        hi = hi >= '0' && hi <= '9' ? hi - '0' : hi >= 'a' && hi <= 'f' ? hi - 'a' + 10 : -1;
        lo = lo >= '0' && lo <= '9' ? lo - '0' : lo >= 'a' && lo <= 'f' ? lo - 'a' + 10 : -1;
        if (hi < 0 || lo < 0) {
            return 0;
        }
        out[i] = (unsigned char)(hi << 4 | lo);
    }
    return text[2 * n] == '\0';
}

/*
 * Whether IMAGE.sig is KEY's signature of these bytes, for this board: the
 * eight lines of format 2, the image's hash, the key's id, and ECDSA P-256
 * over the SHA-256 of the lines before the signature line. Says why not.
 */
static int signature_good(const unsigned char* image, const char* image_path, const char* key_path) {
    char sig_path[MAX_PATH], text[SIG_MAX_BYTES + 1], signed_text[SIG_MAX_BYTES + 1], pem[KEY_MAX_BYTES + 1];
    char* lines[9];
    unsigned char hash[HASH_BYTES], want_hash[HASH_BYTES], digest[HASH_BYTES], signature[SIGNATURE_BYTES];
    unsigned char key_id[KEY_ID_BYTES], point_hash[HASH_BYTES], encoded[1 + POINT_BYTES];
    unsigned char der[KEY_MAX_BYTES], blob[sizeof(BCRYPT_ECCKEY_BLOB) + POINT_BYTES];
    DWORD der_len = sizeof der, info_len = 0;
    CERT_PUBLIC_KEY_INFO* info = NULL;
    BCRYPT_ALG_HANDLE alg = NULL;
    BCRYPT_KEY_HANDLE key = NULL;
    BCRYPT_ECCKEY_BLOB* header = (BCRYPT_ECCKEY_BLOB*)blob;
    long got = 0, pem_got = 0;
    int n = 0, good = 0;
    char* p;

    if (strlen(image_path) + 5 > sizeof sig_path) {
        return 0;
    }
    strcpy(sig_path, image_path);
    strcat(sig_path, ".sig");
    if (!read_small(sig_path, text, sizeof text, &got)) {
        fprintf(stderr, "host: %s: no signature file\n", sig_path);
        return 0;
    }
    /* Eight lines, each ended by LF (CR before it dropped). */
    for (p = text; *p != '\0' && n < 9; ++n) {
        lines[n] = p;
        p = strchr(p, '\n');
        if (p == NULL) {
            break;
        }
        if (p > lines[n] && p[-1] == '\r') {
            p[-1] = '\0';
        }
        *p++ = '\0';
    }
    if (n != 8 || *p != '\0' || strcmp(lines[0], SIG_FORMAT_LINE) != 0 ||
        strcmp(lines[1], "algorithm ecdsa-p256-sha256") != 0 || strncmp(lines[2], "key-id ", 7) != 0 ||
        strcmp(lines[3], SIG_BOARD_LINE) != 0 || strncmp(lines[4], "release ", 8) != 0 ||
        strncmp(lines[5], "security-version ", 17) != 0 || strncmp(lines[6], "image-sha256 ", 13) != 0 ||
        strncmp(lines[7], "signature ", 10) != 0 || !hex_bytes(lines[2] + 7, key_id, KEY_ID_BYTES) ||
        !hex_bytes(lines[6] + 13, want_hash, HASH_BYTES) ||
        !hex_bytes(lines[7] + 10, signature, SIGNATURE_BYTES)) {
        fprintf(stderr, "host: %s: not a format 2 signature file for this board\n", sig_path);
        return 0;
    }
    if (!sha256(image, IMAGE_BYTES, hash) || memcmp(hash, want_hash, HASH_BYTES) != 0) {
        fprintf(stderr, "host: %s is for other bytes\n", sig_path);
        return 0;
    }
    /* The key: PEM to DER, DER to the point (P-256, uncompressed). */
    if (!read_small(key_path, pem, sizeof pem, &pem_got) ||
        !CryptStringToBinaryA(pem, (DWORD)pem_got, CRYPT_STRING_BASE64HEADER, der, &der_len, NULL, NULL) ||
        !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der, der_len, CRYPT_DECODE_ALLOC_FLAG,
                             NULL, &info, &info_len)) {
        fprintf(stderr, "host: %s: not a public key\n", key_path);
        return 0;
    }
    if (strcmp(info->Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) != 0 ||
        info->PublicKey.cbData != 1 + POINT_BYTES || info->PublicKey.pbData[0] != 0x04) {
        fprintf(stderr, "host: %s: not a P-256 key with an uncompressed point\n", key_path);
        LocalFree(info);
        return 0;
    }
    memcpy(encoded, info->PublicKey.pbData, sizeof encoded);
    LocalFree(info);
    /* The file names the key by its id: SHA-256 of 0x04, X, Y, first 8 bytes. */
    if (!sha256(encoded, sizeof encoded, point_hash) || memcmp(point_hash, key_id, KEY_ID_BYTES) != 0) {
        fprintf(stderr, "host: %s is by another key than %s\n", sig_path, key_path);
        return 0;
    }
    /* What was signed: the seven lines before the signature, LF ends. */
    signed_text[0] = '\0';
    for (n = 0; n < 7; ++n) {
        strcat(signed_text, lines[n]);
        strcat(signed_text, "\n");
    }
    header->dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header->cbKey = POINT_BYTES / 2;
    memcpy(blob + sizeof(BCRYPT_ECCKEY_BLOB), encoded + 1, POINT_BYTES);
    if (sha256((const unsigned char*)signed_text, (unsigned long)strlen(signed_text), digest) &&
        BCryptOpenAlgorithmProvider(&alg, BCRYPT_ECDSA_P256_ALGORITHM, NULL, 0) == 0 &&
        BCryptImportKeyPair(alg, NULL, BCRYPT_ECCPUBLIC_BLOB, &key, blob, sizeof blob, 0) == 0) {
        good = BCryptVerifySignature(key, NULL, digest, HASH_BYTES, signature, SIGNATURE_BYTES, 0) == 0;
    }
    if (key != NULL) {
        BCryptDestroyKey(key);
    }
    if (alg != NULL) {
        BCryptCloseAlgorithmProvider(alg, 0);
    }
    if (!good) {
        fprintf(stderr, "host: %s does not verify with %s\n", sig_path, key_path);
    }
    return good;
}

/*
 * Field traces: the recording ZUNDA.dll exports KovaTraceNote; the maker's
 * does not, and then nothing is noted. A replay needs each call's entry,
 * its arguments by name, and the counter before it; then its result, the
 * counter and KOVA_message after it.
 */
typedef void(__stdcall* trace_note)(const char*);
static trace_note note = NULL;
#define NOTE_BYTES 400
#define ARGS_BYTES 200

static void find_recorder(void) {
    HMODULE zunda = GetModuleHandleA("ZUNDA.dll");
    if (zunda != NULL) {
        /* Through void (*)(void), the type C lets stand for any function. */
        note = (trace_note)(void (*)(void))GetProcAddress(zunda, "KovaTraceNote");
    }
}

static void note_call(const char* entry, const char* args) {
    char line[NOTE_BYTES];
    if (note != NULL) {
        sprintf(line, "call %s%s count=%ld", entry, args, (long)KOVA_block_count);
        note(line);
    }
}

static kova_u32 note_return(kova_u32 result) {
    char line[NOTE_BYTES];
    if (note != NULL) {
        sprintf(line, "return 0x%08lX count=%ld message=%.*s", (unsigned long)result, (long)KOVA_block_count,
                (int)sizeof KOVA_message, KOVA_message);
        note(line);
    }
    return result;
}

/* " image-sha256=HEX handle=H flags=F": the arguments of the two image entries. */
static void image_args(const unsigned char* image, kova_u32 handle, kova_u32 flags, char* out) {
    unsigned char hash[HASH_BYTES];
    int i;
    strcpy(out, " image-sha256=");
    if (!sha256(image, (unsigned long)IMAGE_BYTES, hash)) {
        strcat(out, "none");
    } else {
        for (i = 0; i < HASH_BYTES; ++i) {
            sprintf(out + strlen(out), "%02x", hash[i]);
        }
    }
    sprintf(out + strlen(out), " handle=%lu flags=%lu", (unsigned long)handle, (unsigned long)flags);
}

/* An update or a check (`entry`, named `name`), noted. */
static kova_u32 traced_image_call(image_entry entry, const char* name, const unsigned char* image) {
    char args[ARGS_BYTES];
    if (note != NULL) {
        image_args(image, FIRMWARE_HANDLE, 0, args);
        note_call(name, args);
    }
    return note_return(entry(image, FIRMWARE_HANDLE, 0));
}

static kova_u32 traced_flash_byte(kova_u32 address) {
    char args[ARGS_BYTES];
    sprintf(args, " address=%lu", (unsigned long)address);
    note_call("KOVA_read_flash_byte", args);
    return note_return(KOVA_read_flash_byte(address));
}

static kova_u32 traced_get_ec(kova_u32 index) {
    ec_read get_ec = KOVA_get_ec_ram;
    char args[ARGS_BYTES];
    sprintf(args, " index=%lu", (unsigned long)index);
    note_call("KOVA_get_ec_ram", args);
    return note_return(get_ec(index));
}

static void traced_set_ec(kova_u32 index, kova_u32 value) {
    char args[ARGS_BYTES];
    sprintf(args, " index=%lu value=%lu", (unsigned long)index, (unsigned long)value);
    note_call("KOVA_set_ec_ram", args);
    KOVA_set_ec_ram(index, value);
    note_return(0);
}

/* The progress thread: the counter, read so that every read reaches memory,
 * until the update returns. */
static volatile LONG update_done = 0;

static DWORD WINAPI show_progress(LPVOID unused) {
    LONG last = -0x7FFFFFFFL, now, done;
    (void)unused;
    do {
        /* Read "done" first: the count read after it is then the final one. */
        done = InterlockedCompareExchange(&update_done, 0, 0);
        now = InterlockedCompareExchange((LONG volatile*)&KOVA_block_count, 0, 0);
        if (now != last) {
            fprintf(stderr, "counter %ld\n", (long)now);
            last = now;
        }
        if (!done) {
            Sleep(PROGRESS_POLL_MS);
        }
    } while (!done);
    return 0;
}

int main(int argc, char** argv) {
    image_entry check = KOVA_check_bios_image;
    image_entry update_entry = KOVA_update_bios_firmware;
    unsigned char* image;
    FILE* f;
    kova_u32 code;
    HANDLE lock;
    DWORD waited;
    kova_u32 was, now, update_code = KOVA_SUCCESS;
    char tag[TAG_BYTES + 1];
    int i, update = 0;
    HANDLE progress;

    if (atoi(KOVA_major_version) != KOVA_VERSION_MAJOR || atoi(KOVA_minor_version) != KOVA_VERSION_MINOR) {
        fprintf(stderr, "host: built for KOVA.dll %s, found %s.%s\n", KOVA_VERSION_STRING, KOVA_major_version,
                KOVA_minor_version);
        return 2;
    }
    if (argc == 4 && strcmp(argv[2], "update") == 0) {
        update = 1;
    } else if (argc != 2) {
        fprintf(stderr, "usage: host IMAGE [update KEY.pub]\n");
        return 2;
    }
    printf("board %s vendor %s version %s.%s date %s flash 0x%lX\n", KOVA_mb, KOVA_customer,
           KOVA_major_version, KOVA_minor_version, KOVA_date, (unsigned long)KOVA_flash_size);

    image = (unsigned char*)malloc(IMAGE_BYTES);
    f = fopen(argv[1], "rb");
    if (image == NULL || f == NULL || fread(image, 1, IMAGE_BYTES, f) != (size_t)IMAGE_BYTES) {
        fprintf(stderr, "host: cannot read 2 MiB from %s\n", argv[1]);
        return 2;
    }
    fclose(f);

    lock = CreateMutexA(NULL, FALSE, BOARD_MUTEX);
    waited = lock != NULL ? WaitForSingleObject(lock, 10000) : WAIT_FAILED;
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        fprintf(stderr, "host: another program is using the board\n");
        free(image);
        return 4;
    }
    find_recorder();
    code = traced_image_call(check, "KOVA_check_bios_image", image);
    /* The counter as a progress thread reads it during an update: with an
     * interlocked call, which always reaches memory. */
    printf("check 0x%08lX blocks %ld \"%s\"\n", (unsigned long)code,
           (long)InterlockedCompareExchange((LONG volatile*)&KOVA_block_count, 0, 0), KOVA_message);

    if (update && code == KOVA_SUCCESS && !signature_good(image, argv[1], argv[3])) {
        printf("update refused: the signature does not check out; nothing written\n");
        update_code = EXIT_REFUSED;
    } else if (update && code == KOVA_SUCCESS) {
        /* The update, its progress shown by a second thread; the mutex is
         * held throughout. */
        progress = CreateThread(NULL, 0, show_progress, NULL, 0, NULL);
        update_code = traced_image_call(update_entry, "KOVA_update_bios_firmware", image);
        InterlockedExchange(&update_done, 1);
        if (progress != NULL) {
            WaitForSingleObject(progress, INFINITE);
            CloseHandle(progress);
        }
        printf("update 0x%08lX \"%s\"\n", (unsigned long)update_code, KOVA_message);
        /* The flash now holds the image: a second check finds only the copy
         * areas' blocks, which every walk counts. */
        if (update_code == KOVA_SUCCESS) {
            code = traced_image_call(check, "KOVA_check_bios_image", image);
            printf("check again 0x%08lX blocks %ld\n", (unsigned long)code,
                   (long)InterlockedCompareExchange((LONG volatile*)&KOVA_block_count, 0, 0));
        }
    }
    free(image);

    for (i = 0; i < TAG_BYTES; ++i) {
        tag[i] = (char)traced_flash_byte((kova_u32)(TAG_ADDRESS + i - FLASH_READ_LEAD));
    }
    tag[TAG_BYTES] = '\0';
    printf("flash 0x%06lX \"%s\"\n", (unsigned long)TAG_ADDRESS, tag);

    /* Write a byte, read it back, and put back what was there. */
    was = traced_get_ec(EC_INDEX);
    traced_set_ec(EC_INDEX, EC_TRIAL_VALUE);
    now = traced_get_ec(EC_INDEX);
    traced_set_ec(EC_INDEX, was);
    printf("ec 0x%02X = 0x%02lX, put back 0x%02lX\n", EC_INDEX, (unsigned long)now,
           (unsigned long)traced_get_ec(EC_INDEX));
    ReleaseMutex(lock);
    CloseHandle(lock);
    if (update_code == EXIT_REFUSED) {
        return EXIT_REFUSED;
    }
    return code == KOVA_SUCCESS && update_code == KOVA_SUCCESS ? 0 : 1;
}
