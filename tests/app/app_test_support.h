// A main window on the simulated box for the window's tests: virtual time,
// recorders in place of the desktop's message box, URL handler and about
// box, and settings records of the test's choosing.
#pragma once

#include <QImage>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/app_setting.h"
#include "app/ktr_dlg.h"
#include "platform/clock.h"
#include "platform/resources.h"
#include "sim/sim_backend.h"

class CQarnLink;
class CQarnProgress;
class CQarnStatic;
class CBitmapButton;

namespace vexu::test {

// Puts a settings record of the test's choosing in place of the embedded
// one; the embedded images stay.
class ScopedSettings {
public:
    explicit ScopedSettings(const AppSetting& setting);

private:
    AppSettingBytes bytes_;
    std::vector<EmbeddedResource> entries_;
    std::optional<ScopedResourceTable> table_;
};

struct WindowRig {
    struct Options {
        std::string scenario;            // simulator keys
        bool hotplug = false;            // start the simulator's hot-plug monitor
        std::optional<RunJobs> jobs;     // the real jobs when empty
    };
    explicit WindowRig(Options options);
    ~WindowRig();

    // Delivers what is posted to the window until nothing is left.
    void Settle();
    // The box goes away / comes back, reported on this thread as the
    // hot-plug monitor's events are.
    void Unplug();
    void Plug();

    CQarnStatic* Static(int id) const;
    CQarnProgress* Bar(int id) const;
    CQarnLink* Link() const;
    CBitmapButton* Picture(int id) const;

    VirtualClock clock;
    ScopedClock scopedClock{clock};
    std::unique_ptr<sim::SimBackend> sim;
    std::unique_ptr<HotplugMonitor> monitor;
    QStringList errorsShown;
    QStringList refusalsShown;
    QStringList runLogErrorsShown;
    QStringList noticesShown;  // any other message box: "title: text"
    QStringList linksOpened;
    int aboutsShown = 0;
    std::unique_ptr<CKTRDlg> dlg;
};

// Handles the window's events until done() holds, and returns an empty text
// then. Otherwise it returns why not: whyNot() gave a reason (what the wait
// waits for cannot come any more, say the run ended before it), or
// timeoutMs of real time ran out. Use: QVERIFY2(failure.isEmpty(), ...).
QString WaitFor(const std::function<bool()>& done, const std::function<QString()>& whyNot, int timeoutMs,
                const QString& what);

// A picture from the window's resources, in the form grabbed pictures have.
QImage ResourcePicture(const char* path);

}  // namespace vexu::test
