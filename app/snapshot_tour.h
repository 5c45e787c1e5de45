// A guided rehearsal that photographs the screen at each stage of the
// window's life. On the simulated box it plays the operator itself: no
// box, box present, a run half way, the run finished, and a failed run with
// its error box. On a real box (box null) somebody else brings and takes
// the box: it waits for the box, runs once (the run must pass), and waits
// for the box to be taken away. It drives the window only through what an
// operator does (pressing start, reading the message box) and leaves when
// it is done.
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
    enum Stage { kWaitWindow, kNoBox, kWaitBox, kWaitMidRun, kWaitFinished, kWaitError, kWaitBoxGone, kDone };
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
