#include "platform/interrupt.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace vexu {

namespace {

// How long the program has to record an interrupted run before the second
// interrupt ends it regardless.
constexpr unsigned kRecordInterruptedSeconds = 2;

// The level; the signal that came last; whether a run is in progress.
volatile std::sig_atomic_t g_interrupted = 0;
volatile std::sig_atomic_t g_signal = 0;
volatile std::sig_atomic_t g_runInProgress = 0;
void (*g_previousInt)(int) = SIG_DFL;
void (*g_previousTerm)(int) = SIG_DFL;

extern "C" void EndByInterrupt(int) {
    std::signal(g_signal, SIG_DFL);
    std::raise(g_signal);
}

extern "C" void OnInterrupt(int signal) {
    g_signal = signal;
    if (g_interrupted == 0) {
        g_interrupted = 1;
        return;
    }
    // The program looks at the level at least every 100 ms during a run;
    // should it not get to recording the run, the alarm ends it all the
    // same.
    if (g_interrupted == 2 || !g_runInProgress) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    g_interrupted = 2;
    std::signal(SIGALRM, EndByInterrupt);
    alarm(kRecordInterruptedSeconds);
}

}  // namespace

InterruptWatch::InterruptWatch() {
    g_interrupted = 0;
    g_previousInt = std::signal(SIGINT, OnInterrupt);
    g_previousTerm = std::signal(SIGTERM, OnInterrupt);
}

InterruptWatch::~InterruptWatch() {
    std::signal(SIGINT, g_previousInt);
    std::signal(SIGTERM, g_previousTerm);
}

int InterruptWatch::Level() { return g_interrupted; }

void InterruptWatch::SetRunInProgress(bool inProgress) { g_runInProgress = inProgress ? 1 : 0; }

int InterruptWatch::ExitStatus() { return 128 + g_signal; }

void InterruptWatch::EndNow() {
    const int signal = g_signal;
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    std::_Exit(128 + signal);
}

void OutliveParent() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
}

}  // namespace vexu
