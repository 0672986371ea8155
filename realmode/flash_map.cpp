// The flash-map check: a target whose boot sector could be erased, or whose other sectors
// could not, must not be put into upgrade mode.
#include "flash_map.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>

#include "app/console.h"
#include "serial/serial.h"
#include "session/session.h"

bool flash_check_active = false;

namespace {

const char DUMP_FLASH_MAP_COMMAND[] = "_DUMP_FLASH_MAP\r";
const unsigned ALL_SECTORS_ERASABLE = 0xFF;

const char CANNOT_VERIFY[] = "\r\nCould not verify sector protection status.\r\n";
const char NOT_CONTIGUOUS[] = "\r\nFlash memory devices are not contiguous.\r\n";
const char BOOT_NOT_PROTECTED[] = "\r\nBoot sector is not write protected.\r\n";
const char NOT_ERASABLE[] = "\r\nAn application or data sector is not erasable.\r\n";
const char SPURIOUS[] = "\r\nSpurious characters follow the sector protection data.\r\n";

bool fail(const char *message) {
    console_print(message);
    return false;
}

// Marks a number wider than 32 bits: no accepted mask or protection value has this bit.
const unsigned TOO_WIDE = 0x10000;

// "%x" keeps only the low bits of a longer number, so "1000000FE" would read as FE: a number
// of more than eight significant digits keeps its low bits (bit 0 still tells the boot sector)
// but is marked as wider than any value the check accepts.
unsigned mark_if_too_wide(const char *text, int consumed, unsigned value) {
    int i = 0;
    while (i < consumed && !isxdigit((unsigned char)text[i]))
        ++i; // white space and sign
    if (i + 1 < consumed && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
        i += 2;
    while (i < consumed && text[i] == '0')
        ++i;
    int digits = 0;
    while (i < consumed && isxdigit((unsigned char)text[i])) {
        ++digits;
        ++i;
    }
    return digits > 8 ? value | TOO_WIDE : value;
}

// The next protection value of the answer, from *scan_position on; false when there is none.
bool next_protection_value(int *scan_position, unsigned *value) {
    int consumed = 0;
    const char *text = target_line + *scan_position;
    if (sscanf(text, "%x%n", value, &consumed) != 1)
        return false;
    *value = mark_if_too_wide(text, consumed, *value);
    *scan_position += consumed;
    return true;
}

} // namespace

bool check_flash_map() {
    // 1. Ask for the map: "<device mask> : <protection value per device>".
    flash_check_active = true;
    send_command(DUMP_FLASH_MAP_COMMAND, ECHO_ON); // a failed send shows as an unusable answer
    read_target_line(true, 0, 0);

    // 2. The device mask, through its colon; it has sixteen device positions.
    unsigned mask_value = 0;
    int scan_position = 0;
    if (sscanf(target_line, "%x :%n", &mask_value, &scan_position) != 1 || scan_position < 1 ||
        target_line[scan_position - 1] != ':')
        return fail(CANNOT_VERIFY);
    mask_value = mark_if_too_wide(target_line, scan_position, mask_value);
    uint16_t device_mask = (uint16_t)mask_value;
    if (device_mask == 0 || device_mask != mask_value)
        return fail(CANNOT_VERIFY);

    // 3. Devices fill positions from the first without a gap.
    uint16_t device_count = 0;
    while ((device_mask & 1) != 0) {
        ++device_count;
        device_mask >>= 1;
    }
    if (device_mask != 0)
        return fail(NOT_CONTIGUOUS);

    // 4. Device 0 holds the boot sector, which must be its only protected sector (0xFE).
    unsigned protection;
    if (!next_protection_value(&scan_position, &protection))
        return fail(CANNOT_VERIFY);
    if ((protection & 1) != 0)
        return fail(BOOT_NOT_PROTECTED);
    if ((protection | 1) != ALL_SECTORS_ERASABLE)
        return fail(NOT_ERASABLE);

    // 5. Every further device must be erasable throughout.
    for (--device_count; device_count != 0; --device_count) {
        if (!next_protection_value(&scan_position, &protection))
            return fail(CANNOT_VERIFY);
        if (protection != ALL_SECTORS_ERASABLE)
            return fail(NOT_ERASABLE);
    }

    // 6. Only the one character after the last value is looked at.
    char after = target_line[scan_position];
    if (after != '\0' && !isspace((unsigned char)after))
        return fail(SPURIOUS);

    flash_check_active = false;
    return true;
}
