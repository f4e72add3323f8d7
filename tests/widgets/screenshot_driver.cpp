// Renders the update window and the message box kinds to PNG files, for the
// pictures in the documentation. Usage: screenshot_driver OUTPUT_DIR
#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextStream>
#include <QTimer>

#include <functional>

#include "update/Update.h"
#include "widgets/FontSubstitutions.h"
#include "widgets/MessageBoxDlg.h"

namespace {

QString outputDir;
int failures = 0;

void save(const QImage& image, const QString& name)
{
    const QString path = QDir(outputDir).filePath(name + ".png");
    if (!image.save(path)) {
        QTextStream(stderr) << "cannot write " << path << "\n";
        ++failures;
        return;
    }
    QTextStream(stdout) << path << "\n";
}

// The window the way the controller shows an offer: versions, notes and,
// while downloading, the progress area.
class SampleWindow : public Update
{
public:
    explicit SampleWindow(const QString& code) : Update(false)
    {
        language = code;
        applyTexts();
        ui.lb_oldVersion->setText(QString("%1: %2").arg(localText("Current version"), "v1.0.0"));
        ui.lb_newVersion->setText(QString("%1: %2").arg(localText("New version"), "v2.0.0"));
        ui.plainTextEdit->setPlainText(code == "zh_CN"
                                           ? QString::fromUtf8("1. 下载速度更快\n"
                                                               "2. 修复了设置页面的显示问题\n"
                                                               "3. 更新失败时自动恢复原有文件")
                                           : QString("1. Faster downloads\n"
                                                     "2. Fixed the settings page layout\n"
                                                     "3. Failed updates restore the "
                                                     "installed files"));
    }

    void showDownloading()
    {
        ui.barWidget->show();
        ui.progressBar->setValue(45);
        ui.lb_total->setText(localText("Total size") + ": 52.3 MB");
        ui.lb_download->setText(localText("Downloaded") + ": 23.5 MB");
        ui.pb_update->setEnabled(false);
        ui.pb_cancel->setText(localText("Cancel download"));
    }
};

void shootWindow(const QString& code, bool downloading, const QString& name)
{
    SampleWindow window(code);
    if (downloading)
        window.showDownloading();
    window.show();
    QCoreApplication::processEvents();
    save(window.grab().toImage(), name);
}

// The box is translucent around its card; a light backdrop shows the shadow.
QImage onBackdrop(QWidget* box)
{
    const QImage card = box->grab().toImage();
    QImage image(card.size(), QImage::Format_RGB32);
    image.fill(QColor("#e8ecf0"));
    QPainter painter(&image);
    painter.drawImage(0, 0, card);
    return image;
}

void shootBox(const QString& name, const std::function<int(MessageBoxDlg*)>& show)
{
    MessageBoxDlg box;
    QTimer::singleShot(0, &box, [&box, name] {
        save(onBackdrop(&box), name);
        box.reject();
    });
    show(&box);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 2) {
        QTextStream(stderr) << "usage: screenshot_driver OUTPUT_DIR\n";
        return 2;
    }
    outputDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(outputDir);
    installFontSubstitutions();
    QApplication::setWindowIcon(QIcon(":/resources/icon/icon_logo.png"));
    QFont font = QApplication::font();
    font.setStyleStrategy(QFont::PreferAntialias);
    QApplication::setFont(font);

    shootWindow("en_US", false, "update-window-en");
    shootWindow("zh_CN", false, "update-window-zh_CN");
    shootWindow("en_US", true, "update-window-downloading-en");
    shootWindow("zh_CN", true, "update-window-downloading-zh_CN");

    shootBox("messagebox-info", [](MessageBoxDlg* box) {
        return box->showMessage(INFO, "Prompt", "Unable to connect to server", 1024, 0, 1024, "3",
                                "#000000", 0, "Confirm", "");
    });
    shootBox("messagebox-info-zh_CN", [](MessageBoxDlg* box) {
        return box->showMessage(INFO, QString::fromUtf8("提示"),
                                QString::fromUtf8("无法连接到服务器"), 1024, 0, 1024, "3",
                                "#000000", 0, QString::fromUtf8("确认"), "");
    });
    shootBox("messagebox-danger", [](MessageBoxDlg* box) {
        return box->showMessage(DANGER, "Error", "Update failed", 1024, 0, 1024, "3", "#000000", 0,
                                "Confirm", "");
    });
    shootBox("messagebox-success", [](MessageBoxDlg* box) {
        return box->showMessage(SUCCESS, "Prompt", "It's the latest version", 1024, 0, 1024, "3",
                                "#000000", 0, "I see", "");
    });
    shootBox("messagebox-query", [](MessageBoxDlg* box) {
        return box->showMessage(QUERY, "Prompt", "Install the new version now?", 16384, 65536,
                                16384, "3", "#000000", 0, "", "");
    });
    return failures == 0 ? 0 : 1;
}
