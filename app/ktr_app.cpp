#include "app/ktr_app.h"

CKTRApp::CKTRApp(int& argc, char** argv) : QApplication(argc, argv) {}

bool CKTRApp::InitInstance(DialogSetup setup) {
    // Where the framework keeps the application's own settings.
    setOrganizationName(QStringLiteral("应用程序向导生成的本地应用程序"));
    setApplicationName(QStringLiteral("vexu-programmer"));
    setWindowIcon(QIcon(QStringLiteral(":/vexu/icon.png")));
    CKTRDlg dlg(std::move(setup));
    dlg.exec();
    return false;
}
