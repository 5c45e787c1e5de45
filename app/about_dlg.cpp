#include "app/about_dlg.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace {

// The about box's template is 235 x 55 dialog units in a 9-point face whose
// dialog unit is about one and a half pixels each way.
constexpr double kPixelsPerUnit = 1.5;

QRect Units(int x, int y, int cx, int cy) {
    auto px = [](int units) { return static_cast<int>(units * kPixelsPerUnit + 0.5); };
    return QRect(px(x), px(y), px(cx), px(cy));
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("关于 KTR"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    QFont face(QStringLiteral("宋体"));
    face.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("Noto Sans CJK SC"),
                      QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("DejaVu Sans")});
    face.setPointSize(9);
    setFont(face);
    setFixedSize(Units(0, 0, 235, 55).size());

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("icon"));
    icon->setPixmap(QIcon(QStringLiteral(":/vexu/icon.png")).pixmap(32, 32));
    icon->setGeometry(Units(11, 17, 21, 20));

    auto* version = new QLabel(QStringLiteral("KTR 1.0 版"), this);
    version->setObjectName(QStringLiteral("version"));
    version->setGeometry(Units(40, 20, 119, 12));

    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName(QStringLiteral("1"));
    ok->setDefault(true);
    ok->setGeometry(Units(178, 7, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
