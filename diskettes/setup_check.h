// Reading a driver disk's setup.dat the way the installer will, for the
// people who make driver diskettes: what goes on which disk, and every line
// the installer would refuse, skip or read differently from how it looks.
#ifndef VSETUP_DISKETTES_SETUP_CHECK_H
#define VSETUP_DISKETTES_SETUP_CHECK_H

#include <map>
#include <string>
#include <vector>

struct Finding {
    int line;          // 1-based line of setup.dat, 0 for the file as a whole
    std::string text;  // that line as it stands in the file, without its line end
    std::string what;  // what the installer will do with it
    bool fails;        // true when the installation would go wrong
};

struct DiskFile {
    std::string listedName;  // as the copy line names it, directory part included
    int line;
};

struct SetupCheck {
    std::vector<Finding> findings;
    // Disk identifier -> files the copy lists take from that disk, in order.
    std::map<char, std::vector<DiskFile>> disks;
    // Disk identifier -> label from [Source Media Descriptions] (present ones).
    std::map<char, std::string> labels;
};

// Reads setup.dat (its raw bytes) through the installer's own loader, section
// lookup and splitters.
SetupCheck CheckSetupDat(const std::string& data);

#endif
