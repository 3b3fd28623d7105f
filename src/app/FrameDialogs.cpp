#include "app/FrameDialogs.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace {

// The n-th entry (1-based) of a ";;"-separated filter, or the first one.
QString filterEntry(const QString& filter, int index) {
    const QStringList entries = filter.split(QStringLiteral(";;"));
    if (index >= 1 && index <= entries.size()) return entries[index - 1];
    return entries.value(0);
}

} // namespace

QString ApplicationTitle(const QString& executablePath) {
    return QFileInfo(executablePath).completeBaseName();
}

QString ApplicationTitle() {
    return ApplicationTitle(QCoreApplication::applicationFilePath());
}

QString TQtFrameDialogs::OpenFile(QWidget* parent, const QString& dir, const QString& filter,
                                  int filterIndex) {
    QFileDialog dialog(parent, QString(), dir, filter);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.selectNameFilter(filterEntry(filter, filterIndex));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().first();
}

QString TQtFrameDialogs::SaveFile(QWidget* parent, const QString& title, const QString& dir,
                                  const QString& proposedName, const QString& filter,
                                  int filterIndex) {
    QFileDialog dialog(parent, title, dir, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    dialog.setOption(QFileDialog::ReadOnly, false);
    dialog.selectNameFilter(filterEntry(filter, filterIndex));
    if (!proposedName.isEmpty()) dialog.selectFile(proposedName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().first();
}

void TQtFrameDialogs::ShowMessage(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), text, QMessageBox::Ok, parent);
    box.exec();
}

void TQtFrameDialogs::ShowError(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Critical, ApplicationTitle(), text, QMessageBox::Ok, parent);
    box.exec();
}
