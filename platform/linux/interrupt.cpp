#include "platform/interrupt.h"

#include <csignal>

namespace vexu {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
void (*g_previousInt)(int) = SIG_DFL;
void (*g_previousTerm)(int) = SIG_DFL;

extern "C" void OnInterrupt(int signal) {
    g_interrupted = 1;
    // A second interrupt ends the program at once.
    std::signal(signal, SIG_DFL);
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

bool InterruptWatch::Interrupted() { return g_interrupted != 0; }

}  // namespace vexu
