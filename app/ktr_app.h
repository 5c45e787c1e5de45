// CKTRApp: the application. It shows the main dialog modally; when the
// dialog closes, the application ends.
#pragma once

#include <QApplication>

#include "app/ktr_dlg.h"

class CKTRApp : public QApplication {
public:
    CKTRApp(int& argc, char** argv);
    // Shows the dialog until it is closed. Always false: there is no message
    // loop after the dialog.
    bool InitInstance(DialogSetup setup);
};
