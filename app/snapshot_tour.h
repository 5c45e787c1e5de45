// A guided rehearsal on the simulated box that photographs the screen at
// each stage of the window's life: no box, box present, a run half way,
// the run finished, and a failed run with its error box. It drives the
// window only through what an operator does (plugging the box, pressing
// start, reading the message box) and leaves when it is done.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

namespace vexu::sim {
class SimBackend;
}
class CKTRDlg;

class SnapshotTour : public QObject {
public:
    SnapshotTour(vexu::sim::SimBackend* box, QString directory);
    // Starts once the main window is on screen.
    void Begin();
    // True when every picture was written.
    bool Succeeded() const { return failures_ == 0 && stage_ == kDone; }

private:
    enum Stage { kWaitWindow, kNoBox, kWaitBox, kWaitMidRun, kWaitFinished, kWaitError, kDone };
    void Tick();
    void Snap(const char* name);
    void Advance(Stage next);
    CKTRDlg* Window() const;

    vexu::sim::SimBackend* box_;
    QString directory_;
    QTimer timer_;
    Stage stage_ = kWaitWindow;
    qint64 stageStartMs_ = 0;
    qint64 errorSeenMs_ = 0;  // when the error box was first seen on screen
    int failures_ = 0;
};
