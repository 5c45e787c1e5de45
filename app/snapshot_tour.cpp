#include "app/snapshot_tour.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QMessageBox>
#include <QScreen>
#include <cstdio>

#include "app/dialog_template.h"
#include "app/ktr_dlg.h"
#include "app/qarn_controls.h"
#include "sim/sim_backend.h"

namespace {

constexpr int kTickMs = 40;
// Time the window is given to settle on screen before a picture.
constexpr qint64 kSettleMs = 400;
// A stage that does not come about within this time is photographed as it
// is and counted as a failure.
constexpr qint64 kStageLimitMs = 180'000;
constexpr int kMarginPx = 16;

qint64 NowMs() { return QDateTime::currentMSecsSinceEpoch(); }

}  // namespace

SnapshotTour::SnapshotTour(vexu::sim::SimBackend* box, QString directory)
    : box_(box), directory_(std::move(directory)) {
    timer_.setInterval(kTickMs);
    connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
}

void SnapshotTour::Begin() {
    // Only the directory itself is made; its parent was checked to exist.
    QDir().mkdir(directory_);
    stageStartMs_ = NowMs();
    timer_.start();
}

CKTRDlg* SnapshotTour::Window() const {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dlg = qobject_cast<CKTRDlg*>(widget); dlg && dlg->isVisible()) return dlg;
    }
    return nullptr;
}

void SnapshotTour::Snap(const char* name) {
    QScreen* screen = QGuiApplication::primaryScreen();
    QString path = directory_ + QLatin1Char('/') + QLatin1String(name);
    // The part of the screen the program's windows cover, with a margin.
    QRect covered;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible()) covered |= widget->frameGeometry();
    }
    if (screen) covered = covered.adjusted(-kMarginPx, -kMarginPx, kMarginPx, kMarginPx) & screen->geometry();
    if (!screen || covered.isEmpty() ||
        !screen->grabWindow(0, covered.x(), covered.y(), covered.width(), covered.height()).save(path, "PNG")) {
        std::fprintf(stderr, "vexu-programmer: could not save %s\n", qPrintable(path));
        ++failures_;
        return;
    }
    std::fprintf(stderr, "vexu-programmer: saved %s\n", qPrintable(path));
}

void SnapshotTour::Advance(Stage next) {
    stage_ = next;
    stageStartMs_ = NowMs();
}

void SnapshotTour::Tick() {
    CKTRDlg* dlg = Window();
    qint64 inStage = NowMs() - stageStartMs_;
    bool late = inStage > kStageLimitMs;
    if (late) {
        std::fprintf(stderr, "vexu-programmer: stage %d did not come about in time\n", static_cast<int>(stage_));
        ++failures_;
    }
    auto* fpgaBar = dlg ? static_cast<CQarnProgress*>(dlg->Control(IDC_FPGA_BAR)) : nullptr;
    auto* eepromBar = dlg ? static_cast<CQarnProgress*>(dlg->Control(IDC_EEPROM_BAR)) : nullptr;
    auto* start = dlg ? static_cast<QAbstractButton*>(dlg->Control(IDC_START)) : nullptr;

    switch (stage_) {
        case kWaitWindow:
            if (dlg || late) Advance(kNoBox);
            return;
        case kNoBox:
            if (inStage < kSettleMs) return;
            Snap("1-no-box.png");
            if (box_) box_->Plug();
            Advance(kWaitBox);
            return;
        case kWaitBox:
            if (late && !box_) {
                Advance(kDone);  // nobody brought a box
            } else if ((dlg && dlg->Enabled() && inStage > kSettleMs) || late) {
                Snap("2-box-present.png");
                if (start) start->click();
                Advance(kWaitMidRun);
            }
            return;
        case kWaitMidRun: {
            // Half way: the serial-flash bar near its middle (the FPGA bar
            // then stands full), or the FPGA bar when it is the only one.
            bool eepromShown = dlg && PartOn(dlg->Settings().showEeprom);
            bool midway = eepromShown ? eepromBar->Pos() >= 30 && eepromBar->Pos() <= 70
                                      : fpgaBar && fpgaBar->Pos() >= 40 && fpgaBar->Pos() <= 60;
            if (midway || late) {
                Snap("3-mid-run.png");
                Advance(kWaitFinished);
            }
            return;
        }
        case kWaitFinished:
            if (!box_ && dlg && !dlg->RunInProgress() && start && start->isVisible() && inStage > kSettleMs) {
                // A real box: the run must have passed, and the operator
                // takes the box away.
                if (auto* error = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                    std::fprintf(stderr, "vexu-programmer: the run failed: %s\n", qPrintable(error->text()));
                    Snap("4-failed.png");
                    error->accept();
                    ++failures_;
                    Advance(kDone);
                } else {
                    Snap("4-finished.png");
                    std::fprintf(stderr, "vexu-programmer: the run passed\n");
                    Advance(kWaitBoxGone);
                }
            } else if (dlg && !dlg->RunInProgress() && start && start->isVisible() && inStage > kSettleMs) {
                Snap("4-finished.png");
                // The next run fails: the box will not enter serial mode.
                box_->Inspect([](vexu::sim::SimBox& box) {
                    box.SetRefuseSerial(true);
                    return 0;
                });
                start->click();
                Advance(kWaitError);
            } else if (late) {
                Snap("4-finished.png");
                Advance(kDone);
            }
            return;
        case kWaitError: {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box && box->isVisible() && errorSeenMs_ == 0) errorSeenMs_ = NowMs();
            if (box && errorSeenMs_ != 0 && NowMs() - errorSeenMs_ > kSettleMs) {
                Snap("5-failed.png");
                box->accept();
                Advance(kDone);
            } else if (late) {
                Advance(kDone);
            }
            return;
        }
        case kWaitBoxGone:
            if ((dlg && !dlg->Enabled() && inStage > kSettleMs) || late) {
                Snap("5-box-removed.png");
                std::fprintf(stderr, "vexu-programmer: the box was taken away\n");
                Advance(kDone);
            }
            return;
        case kDone:
            timer_.stop();
            if (dlg) dlg->reject();
            return;
    }
}
