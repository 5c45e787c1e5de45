// Run messages and the text channel: how the worker, the two jobs and the
// engine talk to the window. Texts travel in a first-in first-out list
// beside WM_RUN_TEXT; the window takes one text per message it handles.
#pragma once

#include <string>

#include "platform/messages.h"

// Codes carried by WM_RUN_END: wParam the step last started, lParam the result.
constexpr vexu::LPARAM RUN_OK = 0x99;
constexpr vexu::LPARAM RUN_FAILED = 0x88;
constexpr vexu::WPARAM STEP_FPGA = 0x23;
constexpr vexu::WPARAM STEP_EEPROM = 0x45;

// Progress commands: texts of WM_RUN_TEXT whose wParam is the percent.
constexpr const char* kFpgaProgressText = "SetFpgaProgress";
constexpr const char* kEepromProgressText = "SetEepromProgress";

// What the window does with a text taken from the channel: move one of the
// two bars, or nothing (every other text is a log text). The names are
// compared exactly, letter case included.
enum class RunTextKind { kFpgaProgress, kEepromProgress, kLog };
RunTextKind ClassifyRunText(const std::string& text);

// Stores the target window, empties the list and enables the channel.
void InitMsgQueue(vexu::MessageTarget* window);
// Queues a copy of text (while enabled) and posts WM_RUN_TEXT with w and l
// to the target, whether or not the text was queued. Any thread.
void PostMsgText(const char* text, vexu::WPARAM w, vexu::LPARAM l);
// Takes the oldest queued text; empty when none (or the channel is off).
std::string GetMsgText();
// Deletes every queued text and disables the channel.
void FreeMsgQueue();

// The run failure text that the window shows when a run fails.
void SetRunError(const char* text);
std::string GetRunError();
