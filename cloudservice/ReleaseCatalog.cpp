#include "cloudservice/ReleaseCatalog.h"

#include "cloudservice/ReleaseGate.h"
#include "cloudservice/SignedDocumentFile.h"
#include "trust/SignedRelease.h"
#include "trust/TrustRoot.h"
#include "trust/VersionNumber.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <cmath>

namespace {

bool readString(const QJsonObject& object, const QString& key, bool required, QString& value,
                const QString& where, QString& errorText)
{
    const QJsonValue member = object.value(key);
    if (member.isUndefined() && !required)
        return true;
    if (!member.isString() || (required && member.toString().trimmed().isEmpty())) {
        errorText = QString("%1: \"%2\" must be a non-empty string").arg(where, key);
        return false;
    }
    value = member.toString().trimmed();
    return true;
}

bool parseNotes(const QJsonValue& value, QJsonObject& notes, const QString& where,
                QString& errorText)
{
    if (value.isUndefined())
        return true;
    if (!value.isObject()) {
        errorText = QString("%1: \"notes\" must be an object of language code to text").arg(where);
        return false;
    }
    notes = value.toObject();
    for (auto it = notes.constBegin(); it != notes.constEnd(); ++it) {
        if (!it.value().isString()) {
            errorText = QString("%1: notes \"%2\" must be a string").arg(where, it.key());
            return false;
        }
    }
    return true;
}

bool readSignedRelease(const QJsonObject& object, const QString& folder,
                       ReleaseCatalog::Release& release, const QString& where, QString& errorText)
{
    const QJsonValue name = object.value("release");
    if (name.isUndefined())
        return true;
    if (SignedDocumentFile::read(name, folder, SignedRelease::kPayloadType, "release",
                                 release.signedRelease, errorText))
        return true;
    errorText = QString("%1: %2").arg(where, errorText);
    return false;
}

bool readBool(const QJsonObject& object, const QString& key, bool& value, const QString& where,
              QString& errorText)
{
    const QJsonValue member = object.value(key);
    if (!member.isUndefined() && !member.isBool()) {
        errorText = QString("%1: \"%2\" must be true or false").arg(where, key);
        return false;
    }
    value = member.toBool(false);
    return true;
}

bool parseHaltRule(const QJsonValue& value, ReleaseCatalog::HaltRule& rule, const QString& where,
                   QString& errorText)
{
    if (value.isUndefined())
        return true;
    const QJsonObject object = value.toObject();
    const double percent = object.value("percent").toDouble(rule.share / 100.0);
    const double minimum = object.value("minimumInstallations").toDouble(rule.minimumInstallations);
    const bool wellTyped = value.isObject() &&
                           (!object.contains("percent") || object.value("percent").isDouble()) &&
                           (!object.contains("minimumInstallations") ||
                            object.value("minimumInstallations").isDouble());
    if (!wellTyped || percent <= 0 || percent > 100) {
        errorText = where + ": \"halt\" must be an object whose \"percent\" is above 0 and at "
                            "most 100";
        return false;
    }
    if (minimum < 1 || minimum != std::floor(minimum) || minimum > 1e9) {
        errorText = where + ": halt \"minimumInstallations\" must be a whole number from 1";
        return false;
    }
    rule.share = int(std::round(percent * 100));
    rule.minimumInstallations = int(minimum);
    return true;
}

bool parseRelease(const QJsonValue& value, const QString& folder, ReleaseCatalog::Release& release,
                  const QString& where, QString& errorText)
{
    if (!value.isObject()) {
        errorText = QString("%1: a release must be an object").arg(where);
        return false;
    }
    const QJsonObject object = value.toObject();
    if (!readString(object, "version", true, release.version, where, errorText) ||
        !readString(object, "url", true, release.url, where, errorText) ||
        !parseNotes(object.value("notes"), release.notes, where, errorText) ||
        !readSignedRelease(object, folder, release, where, errorText) ||
        !readBool(object, "mandatory", release.mandatory, where, errorText) ||
        !readBool(object, "halted", release.halted, where, errorText) ||
        !Rollout::parse(object.value("rollout"), release.rollout, where, errorText) ||
        !parseHaltRule(object.value("halt"), release.halt, where, errorText))
        return false;
    return true;
}

bool parseChannel(const QJsonValue& value, const QString& folder, ReleaseCatalog::Channel& channel,
                  const QString& where, QString& errorText)
{
    if (!value.isObject()) {
        errorText = QString("%1: a version type must be an object").arg(where);
        return false;
    }
    const QJsonObject object = value.toObject();
    if (!readString(object, "minVersion", false, channel.minVersion, where, errorText))
        return false;
    const QJsonValue releases = object.value("releases");
    if (!releases.isArray()) {
        errorText = QString("%1: \"releases\" must be an array").arg(where);
        return false;
    }
    const QJsonArray list = releases.toArray();
    for (int i = 0; i < list.size(); ++i) {
        ReleaseCatalog::Release release;
        if (!parseRelease(list.at(i), folder, release, QString("%1.releases[%2]").arg(where).arg(i),
                          errorText))
            return false;
        channel.releases.append(release);
    }
    return true;
}

using Offered = QVector<bool>;

const ReleaseCatalog::Release* newestRelease(const ReleaseCatalog::Channel& channel,
                                             const Offered& offered, bool mandatoryOnly)
{
    const ReleaseCatalog::Release* newest = nullptr;
    for (int i = 0; i < channel.releases.size(); ++i) {
        const ReleaseCatalog::Release& release = channel.releases.at(i);
        if (!offered.at(i) || (mandatoryOnly && !release.mandatory))
            continue;
        if (!newest || VersionNumber::isOlder(newest->version, release.version))
            newest = &release;
    }
    return newest;
}

} // namespace

bool ReleaseCatalog::parse(const QByteArray& json, const QString& folder, ReleaseCatalog& catalog,
                           QString& errorText)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        errorText = QString("not valid JSON at offset %1: %2")
                        .arg(parseError.offset)
                        .arg(parseError.errorString());
        return false;
    }
    const QJsonValue softwareRoots = document.object().value("softwareRoots");
    if (!document.isObject() || !softwareRoots.isObject()) {
        errorText = "the top level must be an object with the object \"softwareRoots\"";
        return false;
    }
    ReleaseCatalog parsed;
    if (!parsed.parseRoots(document.object().value("roots"), folder, errorText) ||
        !parsed.parseSoftwareRoots(softwareRoots.toObject(), folder, errorText))
        return false;
    catalog = parsed;
    return true;
}

bool ReleaseCatalog::parseSoftwareRoots(const QJsonObject& softwareRoots, const QString& folder,
                                        QString& errorText)
{
    for (auto root = softwareRoots.constBegin(); root != softwareRoots.constEnd(); ++root) {
        if (!root.value().isObject()) {
            errorText =
                QString("softwareRoots.%1: must be an object of version types").arg(root.key());
            return false;
        }
        const QJsonObject types = root.value().toObject();
        for (auto type = types.constBegin(); type != types.constEnd(); ++type) {
            Channel channel;
            const QString where = QString("softwareRoots.%1.%2").arg(root.key(), type.key());
            if (!parseChannel(type.value(), folder, channel, where, errorText))
                return false;
            for (const Release& release : channel.releases)
                m_hasGates = m_hasGates || release.halted || release.rollout.isSet();
            m_channels[root.key()].insert(type.key(), channel);
        }
    }
    return true;
}

bool ReleaseCatalog::parseRoots(const QJsonValue& value, const QString& folder, QString& errorText)
{
    if (value.isUndefined())
        return true;
    if (!value.isArray()) {
        errorText = "\"roots\" must be an array of root file names, oldest first";
        return false;
    }
    const QJsonArray names = value.toArray();
    for (int i = 0; i < names.size(); ++i) {
        QJsonObject envelope;
        if (!SignedDocumentFile::read(names.at(i), folder, TrustRoot::kPayloadType, "root",
                                      envelope, errorText)) {
            errorText = QString("roots[%1]: %2").arg(i).arg(errorText);
            return false;
        }
        m_roots.append(envelope);
    }
    return true;
}

ReleaseCatalog::Decision ReleaseCatalog::decide(const QString& softwareRoot,
                                                const QString& versionType,
                                                const QString& installedVersion,
                                                const ReleaseGate& gate) const
{
    Decision decision;
    // Any installation may need them to trust the offered release, or a later one.
    decision.roots = m_roots;
    const auto root = m_channels.constFind(softwareRoot);
    if (root == m_channels.constEnd() || !root->contains(versionType))
        return decision;
    const Channel& channel = root->value(versionType);
    decision.known = true;
    decision.minVersion = channel.minVersion;
    Offered offered;
    for (const Release& release : channel.releases)
        offered.append(gate.offers(softwareRoot, versionType, release));
    const Release* newest = newestRelease(channel, offered, false);
    if (!newest)
        return decision;
    decision.version = newest->version;
    decision.maxVersion = newest->version;
    decision.url = newest->url;
    decision.signedRelease = newest->signedRelease;
    decision.noteJson =
        QString::fromUtf8(QJsonDocument(newest->notes).toJson(QJsonDocument::Compact));
    if (const Release* mandatory = newestRelease(channel, offered, true))
        decision.forceVersion = mandatory->version;

    decision.needUpdate = VersionNumber::isOlder(installedVersion, newest->version);
    const bool belowMinimum = !channel.minVersion.isEmpty() &&
                              VersionNumber::isOlder(installedVersion, channel.minVersion);
    const bool behindMandatory = !decision.forceVersion.isEmpty() &&
                                 VersionNumber::isOlder(installedVersion, decision.forceVersion);
    decision.forceUpdate = decision.needUpdate && (belowMinimum || behindMandatory);
    return decision;
}

std::string ReleaseCatalog::offerMask(const QString& softwareRoot, const QString& versionType,
                                      const ReleaseGate& gate) const
{
    std::string mask;
    const auto root = m_channels.constFind(softwareRoot);
    if (root == m_channels.constEnd())
        return mask;
    const auto channel = root->constFind(versionType);
    if (channel == root->constEnd())
        return mask;
    for (const Release& release : channel->releases)
        mask += gate.offers(softwareRoot, versionType, release) ? '1' : '0';
    return mask;
}

const ReleaseCatalog::Release* ReleaseCatalog::find(const QString& softwareRoot,
                                                    const QString& versionType,
                                                    const QString& version) const
{
    const auto root = m_channels.constFind(softwareRoot);
    if (root == m_channels.constEnd())
        return nullptr;
    const auto channel = root->constFind(versionType);
    if (channel == root->constEnd())
        return nullptr;
    for (const Release& release : channel->releases) {
        if (release.version == version)
            return &release;
    }
    return nullptr;
}

int ReleaseCatalog::channelCount() const
{
    int count = 0;
    for (const auto& types : m_channels)
        count += types.size();
    return count;
}
