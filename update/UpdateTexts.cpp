#include "update/Update.h"

void Update::initTextTable()
{
    const QString zh = "zh_CN";
    textTable.insert("Prompt", {{zh, QString::fromUtf8("提示")}});
    textTable.insert("Error", {{zh, QString::fromUtf8("错误")}});
    textTable.insert("Confirm", {{zh, QString::fromUtf8("确认")}});
    textTable.insert("I see", {{zh, QString::fromUtf8("我知道了")}});
    textTable.insert("Version update", {{zh, QString::fromUtf8("版本更新")}});
    textTable.insert("A new version has been found!", {{zh, QString::fromUtf8("发现新版本了!")}});
    textTable.insert("Current version", {{zh, QString::fromUtf8("当前版本")}});
    textTable.insert("New version", {{zh, QString::fromUtf8("新的版本")}});
    textTable.insert("Total size", {{zh, QString::fromUtf8("总大小")}});
    textTable.insert("Downloaded", {{zh, QString::fromUtf8("已下载")}});
    textTable.insert("Update now", {{zh, QString::fromUtf8("立即更新")}});
    textTable.insert("Not updated yet", {{zh, QString::fromUtf8("暂不更新")}});
    textTable.insert("Cancel download", {{zh, QString::fromUtf8("取消下载")}});
    textTable.insert("Unable to connect to server", {{zh, QString::fromUtf8("无法连接到服务器")}});
    textTable.insert("Query program version error, unable to update temporarily",
                     {{zh, QString::fromUtf8("查询程序版本错误,暂时不能更新")}});
    textTable.insert("It's the latest version", {{zh, QString::fromUtf8("已是最新版本")}});
    textTable.insert("Update failed", {{zh, QString::fromUtf8("更新失败")}});
    textTable.insert("Download failed: %1", {{zh, QString::fromUtf8("下载失败: %1")}});
    textTable.insert("Not enough disk space: %1 needed, %2 free",
                     {{zh, QString::fromUtf8("磁盘空间不足: 需要 %1, 可用 %2")}});
    textTable.insert("The update package is damaged", {{zh, QString::fromUtf8("更新包已损坏")}});
    textTable.insert(
        "The proxy server %1 refused the connection: it needs a valid user name and password",
        {{zh, QString::fromUtf8("代理服务器 %1 拒绝了连接:需要有效的用户名和密码")}});
    textTable.insert("The proxy server %1 cannot be reached",
                     {{zh, QString::fromUtf8("无法连接到代理服务器 %1")}});
    textTable.insert("The update could not be verified and will not be installed",
                     {{zh, QString::fromUtf8("更新未通过验证,不会安装")}});
    textTable.insert("The release has expired; check this computer's date and time",
                     {{zh, QString::fromUtf8("此版本已过期;请检查这台计算机的日期和时间")}});
    textTable.insert("The server's certificate is not trusted",
                     {{zh, QString::fromUtf8("服务器的证书不受信任")}});
    textTable.insert("%1 cannot be written, so the update was not installed",
                     {{zh, QString::fromUtf8("无法写入 %1,更新未安装")}});
    textTable.insert("The file %1 is in use by %2, so the update was not installed",
                     {{zh, QString::fromUtf8("文件 %1 正被 %2 使用,更新未安装")}});
    textTable.insert("another program", {{zh, QString::fromUtf8("其他程序")}});
    textTable.insert("%1 leads outside the installation, so the update was not installed",
                     {{zh, QString::fromUtf8("%1 指向安装文件夹之外,更新未安装")}});
    textTable.insert(
        "Version %1 could not start on this computer and was taken back; it is not offered again",
        {{zh, QString::fromUtf8("版本 %1 无法在这台计算机上启动,已被撤回;不会再次提供")}});
    textTable.insert("The update that was just installed is still being checked; try again in a "
                     "minute",
                     {{zh, QString::fromUtf8("刚安装的更新仍在检查中;请一分钟后再试")}});
    textTable.insert("Version %1 could not start and was taken back; version %2 runs again",
                     {{zh, QString::fromUtf8("版本 %1 无法启动,已被撤回;版本 %2 已恢复运行")}});
    textTable.insert("[The release notes are longer than 64 KB and were cut here.]",
                     {{zh, QString::fromUtf8("[更新说明超过 64 KB,在此截断。]")}});
    textTable.insert("Waiting for administrator rights to install the update",
                     {{zh, QString::fromUtf8("正在等待管理员权限以安装更新")}});
    textTable.insert(
        "The update needs administrator rights, which were not given, so it was not installed",
        {{zh, QString::fromUtf8("更新需要管理员权限,但未获授权,因此未安装")}});
    textTable.insert(
        "The update needs administrator rights, which this computer has no way to "
        "ask for, so it was not installed",
        {{zh, QString::fromUtf8("更新需要管理员权限,但这台计算机无法请求该权限,因此未安装")}});
    textTable.insert(
        "The update cannot use its work folder %1: it must be a real folder that can be written",
        {{zh, QString::fromUtf8("更新无法使用其工作文件夹 %1:它必须是可写入的真实文件夹")}});
}

QString Update::proxyRefusedText(const QString& proxy)
{
    return localText("The proxy server %1 refused the connection: it needs a valid user name and "
                     "password")
        .arg(proxy.toHtmlEscaped());
}

QString Update::proxyUnreachableText(const QString& proxy)
{
    return localText("The proxy server %1 cannot be reached").arg(proxy.toHtmlEscaped());
}

QString Update::localText(QString key)
{
    const auto entry = textTable.constFind(key);
    if (entry == textTable.constEnd())
        return key;
    return entry->value(language, key);
}

void Update::applyTexts()
{
    // Frameless like every window of the program: the blue title strip is the
    // heading.
    const Qt::WindowFlags flags = Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint |
                                  Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                                  Qt::WindowStaysOnTopHint;
    // Setting flags recreates the native window and hides a shown one, so the
    // second round of texts leaves them alone when they already match.
    if (windowFlags() != flags)
        setWindowFlags(flags);

    setWindowTitle(localText("Version update"));
    ui.lb_title->setText(localText("Version update"));
    ui.lb_versionText->setText(localText("A new version has been found!"));
    ui.lb_oldVersion->setText(QString("%1: ").arg(localText("Current version")));
    ui.lb_newVersion->setText(QString("%1: ").arg(localText("New version")));
    ui.plainTextEdit->setPlainText(QString());
    ui.progressBar->setValue(0);
    ui.lb_total->setText(localText("Total size") + ": ");
    ui.lb_download->setText(localText("Downloaded") + ": ");
    ui.barWidget->hide();
    ui.pb_update->setText(localText("Update now"));
    ui.pb_cancel->setText(localText("Not updated yet"));
}
