#pragma once
// Tells when the configuration file of a listed drive changes behind the application's back
// (`keelbox config` in a terminal, another computer before the drive came here): the interface the
// application state uses, with an inotify backend and a fake for tests.

#include <QObject>
#include <QString>

#include <memory>
#include <vector>

namespace keelbox::app {

class ConfigWatcher : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~ConfigWatcher() override = default;

    // The drive roots (mount paths) to watch from now on; those not named any more are dropped.
    virtual void watch(const std::vector<QString>& roots) = 0;

signals:
    // The configuration file at the root of `root` was written, replaced or removed. A burst of
    // changes (a write, then a rename into place) is announced once, when it has settled.
    void configChanged(const QString& root);
};

// Watches each root folder with inotify, keeping only the events of the configuration file.
std::unique_ptr<ConfigWatcher> makeConfigWatcher(QObject* parent = nullptr);

} // namespace keelbox::app
