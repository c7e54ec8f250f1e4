// Splitting list lines into their fields.
#ifndef VSETUP_INSTALLER_SETUPINFO_FIELDS_H
#define VSETUP_INSTALLER_SETUPINFO_FIELDS_H

struct CopyEntry {
    char diskId[2];
    char fileName[256];
};

struct RegEntry {
    char root[5];
    char subkey[256];
    char valueName[128];
    char flags[5];
    char value[256];
};

// Scans one copy-list token of line into out (256 bytes) from start. Returns
// the position after the delimiter that ended it, -1 when the line ended, or
// the text length when the text ran out first.
long NextCopyToken(const char* line, char* out, long start);
// Splits a copy-list line into its disk number (one character) and file name.
void SplitCopyLine(const char* line, CopyEntry* entry);

// Reads the next comma-separated registry field into out (outSize bytes).
// A line starts a new scan; null goes on from where the last field ended.
// 1 when the field ended at the delimiter, 0 when it ended the line. A field
// longer than outSize - 1 bytes sets *tooLong (when given) and is cut.
int NextRegField(const char* line, char* out, unsigned outSize, char delimiter, int* tooLong);

// Splits a registry-list line into a cleared entry. Returns the number of
// fields present, 1 to 5. Sets *overlongField to the name of a field that
// did not fit ("value name", "flags"), or null.
int SplitRegLine(const char* line, RegEntry* entry, const char** overlongField);

#endif
