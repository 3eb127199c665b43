#pragma once
// The observable update state the panel, the tray menu and the settings window show: whether a
// user-initiated check may start now, and the version of a newer Keelbox when one is known.

#include <QObject>
#include <QPointer>
#include <QString>

namespace keelbox::update {

class UpdateService;
struct FeedEntry;

class UpdaterViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)
    Q_PROPERTY(bool updateAvailable READ updateAvailable NOTIFY updateAvailableChanged)
    Q_PROPERTY(QString availableVersionString READ availableVersionString NOTIFY
                   availableVersionStringChanged)
    Q_PROPERTY(bool automaticChecks READ automaticChecks WRITE setAutomaticChecks NOTIFY
                   automaticChecksChanged)

public:
    // Without an update service: no check is possible and no update is ever announced.
    explicit UpdaterViewModel(QObject* parent = nullptr);
    // Starts `service` (which must outlive this object): mirrors whether it can check, and runs
    // a background check now and daily when automatic checks are on.
    explicit UpdaterViewModel(UpdateService* service, QObject* parent = nullptr);

    // The process-wide instance on the application's update service, created on first use.
    static UpdaterViewModel& shared();

    bool canCheckForUpdates() const { return m_canCheckForUpdates; }
    bool updateAvailable() const { return m_updateAvailable; }
    // Empty while no update is known.
    QString availableVersionString() const { return m_availableVersionString; }

    // Off, and not switchable, in a build without a feed.
    bool automaticChecks() const;
    void setAutomaticChecks(bool on);

public slots:
    // A user-initiated check; does nothing while canCheckForUpdates() is false. With a view
    // connected to checkWindowWanted the view opens the check's window and runs it there
    // (ui/UpdateDialog.h); without one the check runs on its own.
    void checkForUpdates();

signals:
    void canCheckForUpdatesChanged(bool);
    void updateAvailableChanged(bool);
    void availableVersionStringChanged(const QString&);
    void automaticChecksChanged(bool);
    // The user asked for a check that a window should show.
    void checkWindowWanted(keelbox::update::UpdateService* service);

public:
    // For the update service (and views' tests), on the main thread. Each announces only real
    // changes.
    void setCanCheckForUpdates(bool can);
    // A completed check that found a newer version; its display version may be empty.
    void foundUpdate(const QString& displayVersion);
    // A completed check that found none: clears both values.
    void foundNoUpdate();

private:
    void setUpdate(bool available, const QString& displayVersion);

    QPointer<UpdateService> m_service;
    bool m_canCheckForUpdates = false;
    bool m_updateAvailable = false;
    QString m_availableVersionString;
};

} // namespace keelbox::update
