#include "cloudservice/ReleaseCommand.h"

#include "cloudservice/CatalogEdit.h"
#include "cloudservice/ReleaseCatalog.h"
#include "cloudservice/ReportDatabase.h"
#include "cloudservice/Rollout.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

namespace {

const QStringList actions{"show", "rollout", "halt", "resume"};

void print(FILE* stream, const QString& text)
{
    std::fputs((text + '\n').toLocal8Bit().constData(), stream);
}

int fail(const QString& errorText)
{
    print(stderr, "cloudservice release: " + errorText);
    return 1;
}

QString isoText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate);
}

bool readShare(const QString& text, int& share)
{
    bool ok = false;
    const double percent = text.toDouble(&ok);
    return ok && Rollout::shareOf(percent, share);
}

} // namespace

int ReleaseCommand::run(const QStringList& arguments)
{
    if (arguments.contains("--help") || arguments.contains("-h")) {
        print(stdout, helpText());
        return 0;
    }
    ReleaseCommand command;
    QString errorText;
    if (!command.parse(arguments, errorText)) {
        print(stderr, "cloudservice release: " + errorText + " (see release --help)");
        return 2;
    }
    return command.execute();
}

bool ReleaseCommand::parse(const QStringList& arguments, QString& errorText)
{
    m_action = arguments.value(0);
    if (!actions.contains(m_action)) {
        errorText = "the first word must be show, rollout, halt or resume";
        return false;
    }
    for (int i = 1; i < arguments.size(); ++i) {
        const QString name = arguments.at(i);
        if (name == "--mandatory-too") {
            m_mandatoryToo = true;
            continue;
        }
        if (i + 1 >= arguments.size()) {
            errorText = QString("option %1 needs a value").arg(name);
            return false;
        }
        const QString value = arguments.at(++i);
        if (name == "--catalog")
            m_catalogFile = value;
        else if (name == "--database")
            m_databaseUrl = value;
        else if (name == "--root")
            m_root = value;
        else if (name == "--type")
            m_type = value;
        else if (name == "--version")
            m_version = value;
        else if (name == "--reason")
            m_reason = value;
        else if (!parseRollout(name, value, errorText))
            return false;
    }
    if (m_catalogFile.isEmpty() || m_root.isEmpty() || m_type.isEmpty() || m_version.isEmpty()) {
        errorText = "--catalog, --root, --type and --version are required";
        return false;
    }
    if (m_action == "rollout" && (m_percent < 0) == m_steps.isEmpty()) {
        errorText = "rollout needs either --percent P or --steps LIST --interval SECONDS";
        return false;
    }
    if (!m_steps.isEmpty() && m_intervalSeconds <= 0) {
        errorText = "--steps needs --interval SECONDS";
        return false;
    }
    if (m_databaseUrl.isEmpty())
        m_databaseUrl = ReportDatabase::defaultUrl(m_catalogFile);
    return ReportDatabase::isValidUrl(m_databaseUrl, errorText);
}

bool ReleaseCommand::parseRollout(const QString& name, const QString& value, QString& errorText)
{
    bool ok = true;
    if (name == "--percent") {
        ok = readShare(value, m_percent);
    } else if (name == "--steps") {
        for (const QString& step : value.split(',')) {
            int share = 0;
            ok = ok && readShare(step, share) && (m_steps.isEmpty() || share >= m_steps.last());
            m_steps.append(share);
        }
    } else if (name == "--interval") {
        m_intervalSeconds = value.toLongLong(&ok);
        ok = ok && m_intervalSeconds > 0;
    } else if (name == "--start") {
        const QDateTime start = QDateTime::fromString(value, Qt::ISODate);
        ok = value == "now" || (start.isValid() && start.timeSpec() != Qt::LocalTime);
        m_startMs = value == "now" ? -1 : start.toMSecsSinceEpoch();
    } else {
        errorText = QString("unknown option \"%1\"").arg(name);
        return false;
    }
    if (!ok)
        errorText = QString("%1 \"%2\" is not usable: percents are 0 to 100 with at most two "
                            "decimals, steps never go down, the interval is whole seconds above "
                            "0, the start is \"now\" or ISO 8601 with its zone")
                        .arg(name, value);
    return ok;
}

int ReleaseCommand::execute()
{
    QFile file(m_catalogFile);
    if (!file.open(QIODevice::ReadOnly))
        return fail(
            QString("cannot read the catalog %1: %2").arg(m_catalogFile, file.errorString()));
    ReleaseCatalog catalog;
    QString errorText;
    if (!ReleaseCatalog::parse(file.readAll(), QFileInfo(m_catalogFile).absolutePath(), catalog,
                               errorText))
        return fail(QString("catalog %1: %2").arg(m_catalogFile, errorText));
    if (!catalog.find(m_root, m_type, m_version))
        return fail(QString("the catalog has no release %1/%2 %3").arg(m_root, m_type, m_version));
    if (m_action == "rollout")
        return rollout();
    if (m_action == "show")
        return show(catalog);
    return setHalted(m_action == "halt");
}

int ReleaseCommand::show(const ReleaseCatalog& catalog)
{
    const ReleaseCatalog::Release* release = catalog.find(m_root, m_type, m_version);
    ReportDatabase database;
    ReportDatabase::State state;
    ReportDatabase::Counts counts;
    QString errorText;
    if (!database.open(m_databaseUrl, errorText) ||
        !database.state(m_root, m_type, m_version, state, errorText) ||
        !database.counts(m_root, m_type, m_version, state.resumedMs, counts, errorText))
        return fail(QString("database %1: %2").arg(m_databaseUrl, errorText));
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QString halted = "no";
    if (release->halted)
        halted = "yes, in the catalog (\"halted\": true)";
    else if (state.halted)
        halted = QString("yes, since %1: %2").arg(isoText(state.haltedMs), state.haltReason);
    print(stdout, QString("release: %1/%2 %3").arg(m_root, m_type, m_version));
    print(stdout, "mandatory: " + QString(release->mandatory ? "yes" : "no"));
    print(stdout, "rollout: " + release->rollout.describe(now));
    print(stdout, "halted: " + halted);
    print(stdout, "last resumed: " + (state.resumedMs ? isoText(state.resumedMs) : "never"));
    print(stdout, QString("since the last resume: %1 installations reported it, %2 of them bad "
                          "(halt at %3% of at least %4)")
                      .arg(counts.installations)
                      .arg(counts.bad)
                      .arg(release->halt.share / 100.0)
                      .arg(release->halt.minimumInstallations));
    return 0;
}

int ReleaseCommand::rollout()
{
    const qint64 start = m_startMs >= 0 ? m_startMs : QDateTime::currentMSecsSinceEpoch();
    const Rollout rollout =
        m_steps.isEmpty() ? Rollout::fixed(m_percent, m_mandatoryToo)
                          : Rollout::stepped(m_steps, start, m_intervalSeconds, m_mandatoryToo);
    QString errorText;
    if (!CatalogEdit::setRollout(m_catalogFile, m_root, m_type, m_version, rollout.toJson(),
                                 errorText))
        return fail(QString("catalog %1: %2").arg(m_catalogFile, errorText));
    print(stdout, QString("%1/%2 %3 rollout: %4")
                      .arg(m_root, m_type, m_version,
                           rollout.describe(QDateTime::currentMSecsSinceEpoch())));
    return 0;
}

int ReleaseCommand::setHalted(bool halted)
{
    ReportDatabase database;
    QString errorText;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QString reason = m_reason.isEmpty() ? QString("halted by hand") : m_reason;
    if (!database.open(m_databaseUrl, errorText) ||
        !(halted ? database.halt(m_root, m_type, m_version, reason, now, errorText)
                 : database.resume(m_root, m_type, m_version, now, errorText)))
        return fail(QString("database %1: %2").arg(m_databaseUrl, errorText));
    print(stdout, halted ? QString("%1/%2 %3 halted: offered to no one within a few seconds")
                               .arg(m_root, m_type, m_version)
                         : QString("%1/%2 %3 resumed: offered again within a few seconds; "
                                   "reports received before now no longer count")
                               .arg(m_root, m_type, m_version));
    return 0;
}

QString ReleaseCommand::helpText()
{
    return R"(Usage: cloudservice release ACTION --catalog FILE --root ROOT --type TYPE
                          --version VERSION [--database URL] [options]

One release of the catalog, for its vendor:
  show      its rollout now, whether it is halted (when, why), and how many
            installations reported it since the last resume, how many bad
  rollout   offer it to a share of installations, written into the catalog
            (atomically; running services re-read it by themselves):
              --percent P                      a fixed share, 0 to 100
              --steps 1,5,25,100 --interval S  growing shares, one step every
                [--start now|ISO-8601]         S seconds from the start
                                               (default now); before it,
                                               nobody is offered the release
              --mandatory-too                  a mandatory release follows
                                               the rollout too (otherwise it
                                               goes to everyone)
  halt      offer it to no one (--reason TEXT is shown by "show")
  resume    offer it again; reports received before now no longer count
            toward an automatic halt

--database is as for the service (default: sqlite:cloudservice.sqlite beside
the catalog). Exit codes: 0 done, 1 the catalog, the database or the release
cannot be used, 2 wrong command line.)";
}
