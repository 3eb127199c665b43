#pragma once
// Opens a folder in the desktop's file manager.

#include <QProcess>
#include <QString>
#include <QStringList>

#include <filesystem>

namespace keelbox::app {

class FolderOpener {
public:
    virtual ~FolderOpener() = default;
    // False when no file manager could be started.
    virtual bool open(const std::filesystem::path& folder) = 0;
};

// xdg-open, which hands the folder to the desktop's own file manager.
class XdgFolderOpener : public FolderOpener {
public:
    bool open(const std::filesystem::path& folder) override {
        return QProcess::startDetached(QStringLiteral("xdg-open"),
                                       {QString::fromStdString(folder.string())});
    }
};

} // namespace keelbox::app
