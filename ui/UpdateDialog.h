#pragma once
// The window of a user-initiated check: "Checking…" with Cancel while it runs, then the update
// found (version, release notes, Download, Skip This Version, Later), "up to date" with our
// version, or why the check failed.

#include "update/UpdateService.h"
#include "update/UpdaterViewModel.h"

#include <QDialog>

class QDialogButtonBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;

namespace keelbox::update {

class UpdateDialog : public QDialog {
    Q_OBJECT

public:
    // Starts a user-initiated check on `service` in a new dialog, or raises the one already open.
    // Returns the dialog, or nullptr when no check can start.
    static UpdateDialog* open(UpdateService& service);
    // Opens this dialog for every user-initiated check that `model` asks for.
    static void showChecksOf(UpdaterViewModel& model);

    enum class Stage { checking, found, upToDate, failed };
    Stage stage() const { return m_stage; }

protected:
    void reject() override;

private:
    explicit UpdateDialog(UpdateService& service);
    void showResult(const CheckResult& result);
    void setStage(Stage stage, const QString& heading, const QString& message);

    UpdateService& m_service;
    Stage m_stage = Stage::checking;
    FeedEntry m_found;
    QLabel* m_heading = nullptr;
    QLabel* m_message = nullptr;
    QProgressBar* m_busy = nullptr;
    QPlainTextEdit* m_notes = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
};

} // namespace keelbox::update
