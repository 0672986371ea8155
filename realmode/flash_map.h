// The real-mode build's check of the target's flash map before the upgrade-mode command.
#ifndef REALMODE_FLASH_MAP_H
#define REALMODE_FLASH_MAP_H

// True from the start of check_flash_map until it passes; the driver reads it when the session
// set-up fails, to tell a refused flash map from a target that was never reached.
extern bool flash_check_active;

// check_flash_map: asks for "_DUMP_FLASH_MAP" and reads the answer line (both echoed); true
// when the devices are contiguous from the first, device 0's boot sector is write-protected
// and every other sector erasable; false after printing the rule that failed.
bool check_flash_map();

#endif
