// Resource numbers of the Windows window beyond those of the shared
// dialog template (its pictures keep their numbers there). Read by the
// resource script as well as by the code: plain #defines only.
#pragma once

// The start button under the mouse and held down.
#define IDB_START_HOVER 150
#define IDB_START_PRESSED 151
// The version resource and the manifest take the usual numbers (1).
