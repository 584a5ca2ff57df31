/*
 * A host to start from: C89, kova.h, linked with the import library (no
 * LoadLibrary). Holding the board's mutex around every call into KOVA.dll,
 * it prints the library's identity, checks the image named on the command
 * line (the library's dry run: nothing is written), reads the platform tag
 * from the serial flash and round-trips a byte of EC RAM, putting back what
 * the byte held, so the board is left as it was found. With "update" after
 * the image it then writes the image, showing progress from a second thread.
 * Exit status 0 when the check (and the update) succeed.
 *
 * Build it in the kit's folder (define no macro), then ship host.exe with
 * KOVA.dll and ZUNDA.dll beside it:
 *   MinGW:          i686-w64-mingw32-gcc examples/host.c -I. -L. -lKOVA -o host.exe
 *   MSVC (x86):     cl /I. examples\host.c KOVA.lib
 *   clang-cl (x86): clang-cl --target=i686-pc-windows-msvc /I. examples\host.c KOVA.lib
 * Run it on the board as administrator: host.exe new.bin [update]
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

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
    ec_read get_ec = KOVA_get_ec_ram;
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
    if (argc == 3 && strcmp(argv[2], "update") == 0) {
        update = 1;
    } else if (argc != 2) {
        fprintf(stderr, "usage: host IMAGE [update]\n");
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
    code = check(image, FIRMWARE_HANDLE, 0);
    /* The counter as a progress thread reads it during an update: with an
     * interlocked call, which always reaches memory. */
    printf("check 0x%08lX blocks %ld \"%s\"\n", (unsigned long)code,
           (long)InterlockedCompareExchange((LONG volatile*)&KOVA_block_count, 0, 0), KOVA_message);

    if (update && code == KOVA_SUCCESS) {
        /* The update, its progress shown by a second thread; the mutex is
         * held throughout. */
        progress = CreateThread(NULL, 0, show_progress, NULL, 0, NULL);
        update_code = KOVA_update_bios_firmware(image, FIRMWARE_HANDLE, 0);
        InterlockedExchange(&update_done, 1);
        if (progress != NULL) {
            WaitForSingleObject(progress, INFINITE);
            CloseHandle(progress);
        }
        printf("update 0x%08lX \"%s\"\n", (unsigned long)update_code, KOVA_message);
    }
    free(image);

    for (i = 0; i < TAG_BYTES; ++i) {
        tag[i] = (char)KOVA_read_flash_byte((kova_u32)(TAG_ADDRESS + i - FLASH_READ_LEAD));
    }
    tag[TAG_BYTES] = '\0';
    printf("flash 0x%06lX \"%s\"\n", (unsigned long)TAG_ADDRESS, tag);

    /* Write a byte, read it back, and put back what was there. */
    was = get_ec(EC_INDEX);
    KOVA_set_ec_ram(EC_INDEX, EC_TRIAL_VALUE);
    now = get_ec(EC_INDEX);
    KOVA_set_ec_ram(EC_INDEX, was);
    printf("ec 0x%02X = 0x%02lX, put back 0x%02lX\n", EC_INDEX, (unsigned long)now,
           (unsigned long)get_ec(EC_INDEX));
    ReleaseMutex(lock);
    CloseHandle(lock);
    return code == KOVA_SUCCESS && update_code == KOVA_SUCCESS ? 0 : 1;
}
