#include "app_test_support.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <stdexcept>

#include "app/bitmap_button.h"
#include "app/dialog_template.h"
#include "app/qarn_controls.h"
#include "link/dev_manage.h"
#include "run/image_load.h"
#include "sim/simulator.h"

namespace vexu::test {

ScopedSettings::ScopedSettings(const AppSetting& setting) : bytes_(AppSettingToBytes(setting)) {
    for (auto [id, type] : {std::pair{kFpgaDataResourceId, kFpgaDataResourceType},
                            std::pair{kEepromDataResourceId, kEepromDataResourceType}}) {
        if (const EmbeddedResource* found = FindEmbeddedResource(id, type)) entries_.push_back(*found);
    }
    entries_.push_back({kAppSettingResourceId, kAppSettingResourceType, bytes_.data(),
                        static_cast<uint32_t>(bytes_.size())});
    table_.emplace(entries_.data(), entries_.size());
}

WindowRig::WindowRig(Options options) {
    std::string error;
    sim = sim::MakeSimulator(options.scenario, error);
    if (!sim) throw std::runtime_error("simulator: " + error);
    CDevManage::SetBackend(sim.get());
    if (options.hotplug) monitor = sim->MakeHotplugMonitor();

    DialogSetup setup;
    setup.monitor = monitor.get();
    setup.jobs = std::move(options.jobs);
    setup.hooks.showRunError = [this](QWidget*, const QString& text) { errorsShown << text; };
    setup.hooks.openLink = [this](const QString& address) { linksOpened << address; };
    setup.hooks.showAbout = [this](QWidget*) { ++aboutsShown; };
    setup.hooks.showBoxRefused = [this](QWidget*, const QString& text) { refusalsShown << text; };
    setup.busyBoxRetryMs = 0;  // at the next turn of the event loop
    setup.hooks.showRunLogError = [this](QWidget*, const QString& text) { runLogErrorsShown << text; };
    setup.hooks.showNotice = [this](QWidget*, const Notice& notice) {
        noticesShown << QString::fromStdString(notice.title + ": " + notice.text);
    };
    dlg = std::make_unique<CKTRDlg>(std::move(setup));
    dlg->show();
    Settle();
}

WindowRig::~WindowRig() {
    dlg.reset();
    monitor.reset();
    CDevManage::SetBackend(nullptr);
}

void WindowRig::Settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void WindowRig::Unplug() {
    sim->Unplug();
    CDevManage::OnHotplug({HotplugEvent::Kind::Removal, sim::SimBackend::kBoxPath});
    Settle();
}

void WindowRig::Plug() {
    sim->Plug();
    CDevManage::OnHotplug({HotplugEvent::Kind::Arrival, sim::SimBackend::kBoxPath});
    Settle();
}

CQarnStatic* WindowRig::Static(int id) const { return static_cast<CQarnStatic*>(dlg->Control(id)); }
CQarnProgress* WindowRig::Bar(int id) const { return static_cast<CQarnProgress*>(dlg->Control(id)); }
CQarnLink* WindowRig::Link() const { return static_cast<CQarnLink*>(dlg->Control(IDC_LINK)); }
CBitmapButton* WindowRig::Picture(int id) const { return static_cast<CBitmapButton*>(dlg->Control(id)); }

QString WaitFor(const std::function<bool()>& done, const std::function<QString()>& whyNot, int timeoutMs,
                const QString& what) {
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (done()) return {};
        const QString reason = whyNot ? whyNot() : QString();
        if (!reason.isEmpty()) {
            // What is already posted may still bring it.
            for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
            return done() ? QString() : what + QStringLiteral(" cannot come any more: ") + reason;
        }
        if (timer.elapsed() > timeoutMs)
            return what + QStringLiteral(" did not come within %1 s").arg(timeoutMs / 1000);
        QThread::msleep(1);
    }
}

QImage ResourcePicture(const char* path) {
    return QImage(QString::fromLatin1(path)).convertToFormat(QImage::Format_RGB32);
}

}  // namespace vexu::test
