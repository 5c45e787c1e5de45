// Ctrl-C and its kin for a program that must not stop in the middle of a
// run. While an InterruptWatch lives, the first interrupt only raises a
// flag that the program looks at between runs. A second one ends the
// program at once; during a run it first gives the program a moment
// (2 s) to record the run as interrupted, and ends it then in any case.
// On Linux the interrupts are SIGINT and SIGTERM; on Windows Ctrl-C and
// Ctrl-Break, through the console control handler.
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

    // 0: no interrupt; 1: interrupted (stop between runs); 2: interrupted
    // again during a run (record it and end now).
    static int Level();
    static bool Interrupted() { return Level() > 0; }
    // Whether a run is in progress, for what a second interrupt does.
    static void SetRunInProgress(bool inProgress);
    // The exit status of a program that the interrupt ended (128 + the
    // signal on Linux; STATUS_CONTROL_C_EXIT on Windows).
    static int ExitStatus();
    // Ends the program as the interrupt ends it.
    [[noreturn]] static void EndNow();
};

// A gang station's worker finishes its board and writes its record even
// when the station is gone (killed, even by SIGKILL): a closed output pipe
// then makes writes fail instead of ending the program, and a hangup of
// the terminal or of the station's process group is not taken as a stop.
void OutliveParent();

}  // namespace vexu
