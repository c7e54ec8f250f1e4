// The process entry of VSETUP.EXE, in place of a C runtime's.
//
// The program links no C runtime (a clean Windows 95 has no MSVCRT.DLL), so
// Windows starts it here: the static constructors run, then WinMain, and its
// result is the exit code.
#include <windows.h>

// The linker's list of static constructors: a -1, the constructors, a zero.
// The compiler appends them in link order; they run from the last to the
// first, as GCC's own start-up runs them.
extern "C" void (*__CTOR_LIST__[])();  // NOLINT(readability-identifier-naming): the linker's name

namespace {

void RunConstructors() {
    int count = 0;
    while (__CTOR_LIST__[count + 1] != nullptr) ++count;
    for (int i = count; i >= 1; --i) __CTOR_LIST__[i]();
}

}  // namespace

// Windows enters with the stack aligned to four bytes only. The program reads
// no argument, so WinMain is given none.
extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup() {
    RunConstructors();
    char noArguments[] = "";
    ExitProcess(static_cast<UINT>(WinMain(GetModuleHandleA(nullptr), nullptr, noArguments, SW_SHOWDEFAULT)));
}
