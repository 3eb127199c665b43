#include "update/UpdaterViewModel.h"

namespace keelbox::update {

UpdaterViewModel::UpdaterViewModel(QObject* parent) : QObject(parent) {}

void UpdaterViewModel::checkForUpdates() {
    if (!m_canCheckForUpdates)
        return;
    // No update service in this build: nothing to ask.
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
