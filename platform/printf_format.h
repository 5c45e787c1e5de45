// The format check of printf-style functions. mingw-w64 builds print
// through its own C99 printf (%zu, %lld), which GCC knows as gnu_printf;
// its plain "printf" would mean the Microsoft runtime's.
#pragma once

#if defined(__MINGW32__)
#define VEXU_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#else
#define VEXU_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#endif
