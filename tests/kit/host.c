/*
 * A host as a Windows developer writes one against the kit: C89, kova.h,
 * linked with the import library (no LoadLibrary). It prints the identity
 * data, checks the image named on the command line and round-trips a byte
 * of EC RAM. Exit status 0 when the check succeeds.
 */
#include <stdio.h>
#include <stdlib.h>

#include "kova.h"

/* These assignments compile only if kova.h declares the entries __stdcall. */
typedef kova_u32(__stdcall* image_entry)(const void*, kova_u32, kova_u32);
typedef kova_u32(__stdcall* ec_read)(kova_u32);

#define IMAGE_BYTES 0x200000L

int main(int argc, char** argv) {
    image_entry check = KOVA_check_bios_image;
    ec_read get_ec = KOVA_get_ec_ram;
    unsigned char* image;
    FILE* f;
    kova_u32 code;

    if (argc != 2) {
        fprintf(stderr, "usage: host IMAGE\n");
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
    code = check(image, 1, 0);
    printf("check 0x%08lX blocks %ld \"%s\"\n", (unsigned long)code, (long)KOVA_block_count, KOVA_message);

    KOVA_set_ec_ram(0x40, 0x5A);
    printf("ec 0x40 = 0x%02lX\n", (unsigned long)get_ec(0x40));
    free(image);
    return code == KOVA_SUCCESS ? 0 : 1;
}
