#include "cloudservice/CatalogEdit.h"

#include "cloudservice/ReleaseCatalog.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace {

bool replaceRelease(QJsonArray& releases, const QString& version, const QJsonObject& rollout)
{
    for (int i = 0; i < releases.size(); ++i) {
        QJsonObject release = releases.at(i).toObject();
        if (release.value("version").toString().trimmed() != version)
            continue;
        release.insert("rollout", rollout);
        releases.replace(i, release);
        return true;
    }
    return false;
}

} // namespace

bool CatalogEdit::setRollout(const QString& catalogFile, const QString& root, const QString& type,
                             const QString& version, const QJsonObject& rollout, QString& errorText)
{
    QFile file(catalogFile);
    if (!file.open(QIODevice::ReadOnly)) {
        errorText = "cannot read the file: " + file.errorString();
        return false;
    }
    QJsonObject top = QJsonDocument::fromJson(file.readAll()).object();
    QJsonObject roots = top.value("softwareRoots").toObject();
    QJsonObject types = roots.value(root).toObject();
    QJsonObject channel = types.value(type).toObject();
    QJsonArray releases = channel.value("releases").toArray();
    if (!replaceRelease(releases, version, rollout)) {
        errorText = QString("no release %1/%2 %3").arg(root, type, version);
        return false;
    }
    channel.insert("releases", releases);
    types.insert(type, channel);
    roots.insert(root, types);
    top.insert("softwareRoots", roots);
    const QByteArray text = QJsonDocument(top).toJson(QJsonDocument::Indented);
    ReleaseCatalog check;
    if (!ReleaseCatalog::parse(text, QFileInfo(catalogFile).absolutePath(), check, errorText)) {
        errorText = "the edited catalog would not be valid, left as it was: " + errorText;
        return false;
    }
    QSaveFile edited(catalogFile);
    if (!edited.open(QIODevice::WriteOnly) || edited.write(text) != text.size() ||
        !edited.commit()) {
        errorText = "cannot write the file: " + edited.errorString();
        return false;
    }
    return true;
}
