// The Linux window driven through the operator's sequence that the Windows
// window goes through under wine (tests/windows/window/window_test.cpp):
// after each step both must show the state that tests/data/window_sequence.txt
// names, in the same words.
#include <QFile>
#include <QtTest>

#include "app/bitmap_button.h"
#include "app/qarn_controls.h"
#include "app_test_support.h"
#include "dialog/dialog_template.h"

using vexu::test::WaitFor;
using vexu::test::WindowRig;

namespace {

constexpr int kRunTimeoutMs = 120'000;

// The state in the sequence file's words: the switched controls, the start
// button, and per part its bar position and percent label ("-" hidden).
QString Describe(const WindowRig& rig) {
    auto shown = [&](int id) { return rig.dlg->Control(id)->isVisibleTo(rig.dlg.get()); };
    QString line = QStringLiteral("enabled=%1 start=%2")
                       .arg(rig.dlg->Control(IDC_LINK)->isEnabled() ? 1 : 0)
                       .arg(shown(IDC_START) ? QStringLiteral("shown") : QStringLiteral("hidden"));
    const std::pair<const char*, std::pair<int, int>> parts[] = {{"fpga", {IDC_FPGA_PERCENT, IDC_FPGA_BAR}},
                                                                 {"eeprom", {IDC_EEPROM_PERCENT, IDC_EEPROM_BAR}}};
    for (const auto& [name, ids] : parts) {
        line += QStringLiteral(" %1=%2/%3")
                    .arg(QLatin1String(name))
                    .arg(rig.Bar(ids.second)->Pos())
                    .arg(shown(ids.first) ? rig.Static(ids.first)->Text() : QStringLiteral("-"));
    }
    return line;
}

QMap<QString, QString> ReadSequence() {
    QMap<QString, QString> steps;
    QFile file(QStringLiteral(VEXU_WINDOW_SEQUENCE));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return steps;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine());
        const qsizetype bar = line.indexOf(QLatin1Char('|'));
        if (line.startsWith(QLatin1Char('#')) || bar < 0) continue;
        steps.insert(line.left(bar).trimmed(), line.mid(bar + 1).trimmed());
    }
    return steps;
}

bool RunFinished(const WindowRig& rig) {
    return !rig.dlg->RunInProgress() && rig.dlg->Control(IDC_START)->isVisibleTo(rig.dlg.get());
}

}  // namespace

class WindowSequenceTest : public QObject {
    Q_OBJECT

private:
    // The window reaches the step's state ("*" in it stands for any text).
    void Expect(const WindowRig& rig, const QMap<QString, QString>& steps, const char* step) {
        const QString expected = steps.value(QLatin1String(step));
        QVERIFY2(!expected.isEmpty(), step);
        const QRegularExpression pattern(QRegularExpression::anchoredPattern(
            QRegularExpression::escape(expected).replace(QStringLiteral("\\*"), QStringLiteral(".*"))));
        QTRY_VERIFY2(pattern.match(Describe(rig)).hasMatch(),
                     qPrintable(QStringLiteral("%1: expected \"%2\", saw \"%3\"")
                                    .arg(QLatin1String(step), expected, Describe(rig))));
    }

    void Run(WindowRig& rig) { QTest::mouseClick(rig.Picture(IDC_START), Qt::LeftButton); }

private slots:
    void operatorSequenceThreaded() {
        const QMap<QString, QString> steps = ReadSequence();
        QVERIFY2(steps.size() >= 6, VEXU_WINDOW_SEQUENCE);
        WindowRig rig({"unplugged", true, {}});
        Expect(rig, steps, "no-box");

        rig.sim->Plug();
        Expect(rig, steps, "box-present");

        Run(rig);
        QString waited = WaitFor([&] { return RunFinished(rig); }, {}, kRunTimeoutMs, QStringLiteral("the run's end"));
        QVERIFY2(waited.isEmpty(), qPrintable(waited));
        QVERIFY(rig.errorsShown.isEmpty());
        Expect(rig, steps, "run-passed");

        rig.sim->Inspect([](vexu::sim::SimBox& box) {
            box.SetRefuseSerial(true);
            return 0;
        });
        Run(rig);
        waited = WaitFor([&] { return RunFinished(rig) && rig.errorsShown.size() == 1; }, {}, kRunTimeoutMs,
                         QStringLiteral("the failed run's error box"));
        QVERIFY2(waited.isEmpty(), qPrintable(waited));
        Expect(rig, steps, "run-failed");

        // The box is pulled as soon as the run has begun.
        rig.sim->Inspect([](vexu::sim::SimBox& box) {
            box.SetRefuseSerial(false);
            return 0;
        });
        Run(rig);
        QTRY_VERIFY(!rig.dlg->Control(IDC_START)->isVisibleTo(rig.dlg.get()) || rig.errorsShown.size() > 1);
        rig.sim->Unplug();
        waited = WaitFor([&] { return RunFinished(rig) && rig.errorsShown.size() == 2; }, {}, kRunTimeoutMs,
                         QStringLiteral("the pulled run's error box"));
        QVERIFY2(waited.isEmpty(), qPrintable(waited));
        Expect(rig, steps, "box-pulled");

        rig.sim->Plug();
        Expect(rig, steps, "box-back");
    }
};

QTEST_MAIN(WindowSequenceTest)
#include "window_sequence_test.moc"
