#include "download/ProgressDialog.h"

#include <QPushButton>
#include <QVariant>

namespace {

const char* const kStyleSheet =
    "QProgressBar{ color:rgb(0,0,0); border-radius: 10px; \t\tbackground: rgb(245, 245, "
    "245);}\t\tQProgressBar::chunk {border-radius: 10px;\t\tbackground: rgb(0, 160, 230);}";

int lowBits32(qint64 value)
{
    return static_cast<int>(static_cast<quint32>(value));
}

} // namespace

ProgressDialog::ProgressDialog(const QString& title, const QString& labelText, QWidget* parent)
    : QProgressDialog(parent, Qt::WindowFlags())
{
    setStyleSheet(QString::fromLatin1(kStyleSheet));
    setFixedSize(300, 100);
    auto* cancelButton = new QPushButton(this);
    cancelButton->setText(tr("Cancel"));
    cancelButton->setProperty("BTN_TYPE", QStringLiteral("WARNING"));
    setCancelButton(cancelButton);
    setWindowTitle(title.isEmpty() ? tr("Download progress") : title);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setLabelText(labelText);
    setMinimum(0);
    setValue(0);
    setMinimumDuration(0);
}

void ProgressDialog::networkReplyProgress(qint64 bytesRead, qint64 totalBytes)
{
    setMaximum(lowBits32(totalBytes));
    setValue(lowBits32(bytesRead));
}
