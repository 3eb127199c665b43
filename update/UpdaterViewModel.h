#pragma once
// The observable update state the panel, the tray menu and the settings window show: whether a
// user-initiated check may start now, and the version of a newer Keelbox when one is known.

#include <QObject>
#include <QString>

namespace keelbox::update {

class UpdaterViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)
    Q_PROPERTY(bool updateAvailable READ updateAvailable NOTIFY updateAvailableChanged)
    Q_PROPERTY(QString availableVersionString READ availableVersionString NOTIFY
                   availableVersionStringChanged)

public:
    // Without an update service: no check is possible and no update is ever announced.
    explicit UpdaterViewModel(QObject* parent = nullptr);

    bool canCheckForUpdates() const { return m_canCheckForUpdates; }
    bool updateAvailable() const { return m_updateAvailable; }
    // Empty while no update is known.
    QString availableVersionString() const { return m_availableVersionString; }

public slots:
    // A user-initiated check; does nothing while canCheckForUpdates() is false.
    void checkForUpdates();

signals:
    void canCheckForUpdatesChanged(bool);
    void updateAvailableChanged(bool);
    void availableVersionStringChanged(const QString&);

public:
    // For the update service (and tests), on the main thread. Each announces only real changes.
    void setCanCheckForUpdates(bool can);
    // A completed check that found a newer version; its display version may be empty.
    void foundUpdate(const QString& displayVersion);
    // A completed check that found none: clears both values.
    void foundNoUpdate();

private:
    void setUpdate(bool available, const QString& displayVersion);

    bool m_canCheckForUpdates = false;
    bool m_updateAvailable = false;
    QString m_availableVersionString;
};

} // namespace keelbox::update
