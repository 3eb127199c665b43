#include "update/UpdaterViewModel.h"

#include "update/UpdateService.h"

#include <QMetaMethod>

namespace keelbox::update {

UpdaterViewModel::UpdaterViewModel(QObject* parent) : QObject(parent) {}

UpdaterViewModel::UpdaterViewModel(UpdateService* service, QObject* parent)
    : QObject(parent), m_service(service) {
    if (service == nullptr)
        return;
    connect(service, &UpdateService::canCheckChanged, this,
            &UpdaterViewModel::setCanCheckForUpdates);
    // Results are taken as tasks of their own on this object's (the main) thread.
    connect(
        service, &UpdateService::foundUpdate, this,
        [this](const FeedEntry& entry) { foundUpdate(entry.displayVersion); },
        Qt::QueuedConnection);
    connect(service, &UpdateService::foundNoUpdate, this, &UpdaterViewModel::foundNoUpdate,
            Qt::QueuedConnection);
    setCanCheckForUpdates(service->canCheck());
    service->start();
}

UpdaterViewModel& UpdaterViewModel::shared() {
    static UpdaterViewModel* const instance = [] {
        // Both live until the process ends.
        UpdateService* service = UpdateService::forApplication().release();
        return new UpdaterViewModel(service);
    }();
    return *instance;
}

bool UpdaterViewModel::automaticChecks() const {
    return m_service && m_service->automaticChecks();
}

void UpdaterViewModel::setAutomaticChecks(bool on) {
    if (!m_service || !m_service->hasFeed() || on == automaticChecks())
        return;
    m_service->setAutomaticChecks(on);
    emit automaticChecksChanged(on);
}

void UpdaterViewModel::checkForUpdates() {
    if (!m_canCheckForUpdates || !m_service)
        return;
    if (isSignalConnected(QMetaMethod::fromSignal(&UpdaterViewModel::checkWindowWanted)))
        emit checkWindowWanted(m_service.data());
    else
        m_service->check(UpdateService::CheckKind::userInitiated);
}

void UpdaterViewModel::setCanCheckForUpdates(bool can) {
    if (m_canCheckForUpdates == can)
        return;
    m_canCheckForUpdates = can;
    emit canCheckForUpdatesChanged(can);
}

void UpdaterViewModel::foundUpdate(const QString& displayVersion) {
    setUpdate(true, displayVersion);
}

void UpdaterViewModel::foundNoUpdate() {
    setUpdate(false, {});
}

void UpdaterViewModel::setUpdate(bool available, const QString& displayVersion) {
    if (m_updateAvailable != available) {
        m_updateAvailable = available;
        emit updateAvailableChanged(available);
    }
    if (m_availableVersionString != displayVersion) {
        m_availableVersionString = displayVersion;
        emit availableVersionStringChanged(displayVersion);
    }
}

} // namespace keelbox::update
