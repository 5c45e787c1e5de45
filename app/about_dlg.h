// CAboutDlg: the about box, with the application icon, the version line and
// an OK button. It does nothing but close.
#pragma once

#include <QDialog>

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
