#include "demo/DemoWindow.h"

#include "demo/UpdaterLauncher.h"

#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLabel* makeLabel(const QString& text, int pointSize, bool bold, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPointSize(pointSize);
    font.setBold(bold);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

} // namespace

DemoWindow::DemoWindow(const QString& version, const UpdaterLauncher& launcher, QWidget* parent)
    : QWidget(parent), m_launcher(launcher)
{
    setWindowTitle(QStringLiteral("DemoApp %1").arg(version));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(40, 30, 40, 30);
    layout->setSpacing(16);
    layout->addWidget(makeLabel(QStringLiteral("DemoApp"), 28, true, this));
    layout->addWidget(makeLabel(QStringLiteral("installed version"), 11, false, this));
    const QString shown = version.isEmpty() ? QStringLiteral("unknown") : version;
    auto* versionLabel = makeLabel(shown, 48, true, this);
    versionLabel->setObjectName(QStringLiteral("lb_version"));
    layout->addWidget(versionLabel);
    m_news = makeLabel(QString(), 11, false, this);
    m_news->setWordWrap(true);
    m_news->hide();
    layout->addWidget(m_news);

    auto* check = new QPushButton(QStringLiteral("Check for updates"), this);
    check->setObjectName(QStringLiteral("pb_check"));
    check->setMinimumHeight(40);
    connect(check, &QPushButton::clicked, this, &DemoWindow::slotCheckClick);
    layout->addWidget(check);

    m_status = makeLabel(QString(), 10, false, this);
    m_status->setWordWrap(true);
    layout->addWidget(m_status);
    setMinimumWidth(480);
}

void DemoWindow::setStatus(const QString& text)
{
    m_status->setText(text);
}

void DemoWindow::setNews(const QString& text)
{
    m_news->setText(text);
    m_news->setVisible(!text.isEmpty());
}

void DemoWindow::slotCheckClick()
{
    QString errorText;
    if (m_launcher.start(QStringLiteral("check"), errorText))
        setStatus(QStringLiteral("Checking for updates..."));
    else
        setStatus(errorText);
}
