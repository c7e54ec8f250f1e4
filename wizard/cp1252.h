// Windows-1252 text for front ends that speak UTF-8.
#ifndef VSETUP_WIZARD_CP1252_H
#define VSETUP_WIZARD_CP1252_H

#include <string>

// Converts Windows-1252 bytes to UTF-8. The five bytes that the code page
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 controls of
// the same number, as Windows does.
std::string Cp1252ToUtf8(const char* text);

#endif
