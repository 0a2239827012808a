// Hooks that the MinGW-w64 C runtime's startup code looks up by name, linked into every
// shipped executable (cmake/shipped.cmake).
#include <math.h>

// The startup code refers to _matherr, the hook for math-library errors, and that reference
// alone links the runtime's own debugging handler, which reports through fprintf to stderr,
// although the startup installs it only when _MINGW_INSTALL_DEBUG_MATHERR is 1 and the
// runtime sets that to -1. So the handler never runs, and the programs do no floating-point
// math anyway; this definition satisfies the reference without fprintf and stderr in the
// image. Were it ever called, 0 asks for the runtime's default handling of the error.
extern "C" int __cdecl _matherr(struct _exception*) {
    return 0;
}
