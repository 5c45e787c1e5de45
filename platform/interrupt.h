// Ctrl-C and its kin for a program that must not stop in the middle of a
// run: while an InterruptWatch lives, the first interrupt only raises a
// flag that the program looks at between runs; a second one ends the
// program at once. On Linux the interrupts are SIGINT and SIGTERM; on
// Windows Ctrl-C and Ctrl-Break, through the console control handler.
#pragma once

namespace vexu {

class InterruptWatch {
public:
    // Clears the flag and takes the interrupts over.
    InterruptWatch();
    // Gives them back as they were.
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // True once an interrupt came while a watch lived.
    static bool Interrupted();
};

}  // namespace vexu
