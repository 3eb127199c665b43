#include "ui/UpdateDialog.h"

#include "app/Localizer.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace keelbox::update {

void UpdateDialog::showChecksOf(UpdaterViewModel& model) {
    QObject::connect(&model, &UpdaterViewModel::checkWindowWanted, &model,
                     [](UpdateService* service) { open(*service); });
}

namespace {

QString text(std::string_view key, std::initializer_list<FormatArg> args = {}) {
    return app::Localizer::shared().qtext(key, args);
}

QPointer<UpdateDialog> openDialog;

} // namespace

UpdateDialog* UpdateDialog::open(UpdateService& service) {
    if (openDialog) {
        openDialog->raise();
        openDialog->activateWindow();
        return openDialog;
    }
    if (!service.canCheck())
        return nullptr;
    auto* dialog = new UpdateDialog(service);
    openDialog = dialog;
    dialog->show();
    service.check(UpdateService::CheckKind::userInitiated);
    return dialog;
}

UpdateDialog::UpdateDialog(UpdateService& service) : m_service(service) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(text("update.dialog.title"));
    setMinimumWidth(420);
    m_heading = new QLabel(this);
    QFont bold = m_heading->font();
    bold.setBold(true);
    m_heading->setFont(bold);
    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setWordWrap(true);
    // Everything shown comes from the network: never rich text.
    m_heading->setTextFormat(Qt::PlainText);
    m_message->setTextFormat(Qt::PlainText);
    m_busy = new QProgressBar(this);
    m_busy->setRange(0, 0);
    m_notes = new QPlainTextEdit(this);
    m_notes->setReadOnly(true);
    m_notes->setMinimumHeight(140);
    m_buttons = new QDialogButtonBox(this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_heading);
    layout->addWidget(m_message);
    layout->addWidget(m_busy);
    layout->addWidget(m_notes);
    layout->addWidget(m_buttons);
    connect(&service, &UpdateService::checkFinished, this,
            [this](const CheckResult& result, UpdateService::CheckKind kind) {
                if (kind == UpdateService::CheckKind::userInitiated && m_stage == Stage::checking)
                    showResult(result);
            });
    setStage(Stage::checking, text("update.checking"), {});
}

void UpdateDialog::reject() {
    if (m_stage == Stage::checking)
        m_service.cancel();
    QDialog::reject();
}

void UpdateDialog::showResult(const CheckResult& result) {
    const app::Localizer& localizer = app::Localizer::shared();
    switch (result.outcome) {
    case CheckResult::Outcome::updateFound:
        m_found = result.entry;
        m_notes->setPlainText(result.entry.releaseNotes);
        setStage(Stage::found,
                 text("update.available", {result.entry.displayVersion.toStdString()}),
                 text("update.found.detail",
                      {runningVersion().toStdString(),
                       result.entry.releaseDate.toString(Qt::ISODate).toStdString()}));
        break;
    case CheckResult::Outcome::upToDate:
        setStage(Stage::upToDate, text("update.upToDate"),
                 text("update.upToDate.detail", {runningVersion().toStdString()}));
        break;
    case CheckResult::Outcome::failed:
        if (result.failure == CheckFailure::cancelled) {
            close();
            return;
        }
        setStage(Stage::failed, text("update.failed"),
                 QString::fromStdString(failureText(result, localizer.language())));
        break;
    }
}

void UpdateDialog::setStage(Stage stage, const QString& heading, const QString& message) {
    m_stage = stage;
    m_heading->setText(heading);
    m_message->setText(message);
    m_message->setVisible(!message.isEmpty());
    m_busy->setVisible(stage == Stage::checking);
    m_notes->setVisible(stage == Stage::found);
    m_buttons->clear();
    auto add = [this](const char* name, std::string_view key, QDialogButtonBox::ButtonRole role,
                      auto action) {
        QPushButton* button = m_buttons->addButton(text(key), role);
        button->setObjectName(QLatin1String(name));
        connect(button, &QPushButton::clicked, this, action);
        return button;
    };
    switch (stage) {
    case Stage::checking:
        add("cancel", "update.cancel", QDialogButtonBox::RejectRole, [this] { reject(); });
        break;
    case Stage::found:
        add("download", "update.download", QDialogButtonBox::AcceptRole, [this] {
            QDesktopServices::openUrl(m_found.downloadPage);
            accept();
        })->setDefault(true);
        add("skip", "update.skip", QDialogButtonBox::DestructiveRole, [this] {
            m_service.skipVersion(m_found.version);
            accept();
        });
        add("later", "update.later", QDialogButtonBox::RejectRole, [this] { reject(); });
        break;
    case Stage::upToDate:
    case Stage::failed:
        add("close", "update.ok", QDialogButtonBox::AcceptRole, [this] { accept(); });
        break;
    }
    adjustSize();
}

} // namespace keelbox::update
