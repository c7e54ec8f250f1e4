// The display's name in system.ini.
#ifndef VSETUP_INSTALLER_STEPS_BOOT_ENTRY_H
#define VSETUP_INSTALLER_STEPS_BOOT_ENTRY_H

// Names the product as display.drv in system.ini's [boot.description];
// reports a failed write.
void WriteBootEntry();

#endif
