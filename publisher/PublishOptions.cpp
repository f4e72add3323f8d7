#include "publisher/PublishOptions.h"

#include <QRegularExpression>
#include <QVector>

namespace {

enum class Kind
{
    Flag,
    Text,
    Texts, // one or more values, the option possibly repeated
    Number,
    VersionedFiles, // one or more VERSION=FILE, the option possibly repeated
};

struct OptionRule
{
    QString name;
    Kind kind = Kind::Text;
    bool required = true;
    qint64 minimum = 0;
    qint64 maximum = 0;
};

struct CommandRule
{
    QString name;
    QString argument; // empty: the command takes none
    QVector<OptionRule> options;
};

// Signed documents hold numbers as JSON doubles, exact up to 2^53.
constexpr qint64 kLargestNumber = qint64(1) << 53;
constexpr qint64 kMostDays = 36500;

OptionRule required(const char* name, Kind kind = Kind::Text)
{
    return OptionRule{name, kind, true, 0, 0};
}

OptionRule optional(const char* name, Kind kind = Kind::Text)
{
    return OptionRule{name, kind, false, 0, 0};
}

OptionRule number(const char* name, qint64 minimum, qint64 maximum)
{
    return OptionRule{name, Kind::Number, true, minimum, maximum};
}

OptionRule optionalNumber(const char* name, qint64 minimum, qint64 maximum)
{
    return OptionRule{name, Kind::Number, false, minimum, maximum};
}

// A version goes into file names, so it is dotted digits and nothing else.
bool isVersionedFile(const QString& value)
{
    static const QRegularExpression form(QStringLiteral("^[0-9]+(\\.[0-9]+)*=.+$"));
    return form.match(value).hasMatch();
}

const QVector<CommandRule>& commandRules()
{
    static const QVector<CommandRule> rules{
        {"keygen", "NAME", {}},
        {"root",
         "",
         {number("--version", 1, kLargestNumber), number("--expires-days", 1, kMostDays),
          required("--root-key", Kind::Texts), required("--release-pub", Kind::Texts),
          optional("--previous-root-key"), required("-o")}},
        {"package", "DIR", {required("-o")}},
        {"release",
         "",
         {required("--key"), required("--package"), required("--software-root"),
          required("--version-type"), required("--version"), number("--serial", 0, kLargestNumber),
          optional("--mandatory", Kind::Flag), number("--expires-days", 1, kMostDays),
          optional("--delta", Kind::VersionedFiles), required("-o")}},
        {"verify", "RELEASE.json", {required("--root"), optional("--package")}},
        {"delta",
         "",
         {required("--package"), required("--version"), required("--from", Kind::VersionedFiles),
          required("--output-dir"), optionalNumber("--level", 1, 22)}},
    };
    return rules;
}

const CommandRule* findCommand(const QString& name)
{
    for (const CommandRule& rule : commandRules()) {
        if (rule.name == name)
            return &rule;
    }
    return nullptr;
}

const OptionRule* findOption(const CommandRule& command, const QString& name)
{
    for (const OptionRule& rule : command.options) {
        if (rule.name == name)
            return &rule;
    }
    return nullptr;
}

bool isOption(const QString& token)
{
    return token.size() > 1 && token.startsWith('-');
}

bool checkValue(const OptionRule& option, const QString& value, QString& errorText)
{
    bool ok = !value.isEmpty();
    if (ok && option.kind == Kind::Number) {
        const qint64 number = value.toLongLong(&ok);
        ok = ok && number >= option.minimum && number <= option.maximum;
    }
    if (ok && option.kind == Kind::VersionedFiles && !isVersionedFile(value)) {
        errorText = QString("%1 takes VERSION=PACKAGE.zip, not \"%2\"").arg(option.name, value);
        return false;
    }
    if (!ok && option.kind == Kind::Number)
        errorText = QString("%1 must be a whole number from %2 to %3, not \"%4\"")
                        .arg(option.name)
                        .arg(option.minimum)
                        .arg(option.maximum)
                        .arg(value);
    else if (!ok)
        errorText = QString("%1 needs a value").arg(option.name);
    return ok;
}

// The value or values after the option at line[i]; i moves past them.
bool takeValues(const OptionRule& option, const QStringList& line, int& i, QStringList& taken,
                QString& errorText)
{
    const int before = taken.size();
    while (i < line.size() && !isOption(line.at(i)) &&
           (option.kind == Kind::Texts || option.kind == Kind::VersionedFiles ||
            taken.size() == before)) {
        if (!checkValue(option, line.at(i), errorText))
            return false;
        taken << line.at(i++);
    }
    if (taken.size() == before) {
        errorText = QString("%1 needs a value").arg(option.name);
        return false;
    }
    return true;
}

bool takeOption(const CommandRule& command, const QStringList& line, int& i,
                QMap<QString, QStringList>& values, QString& errorText)
{
    const QString name = line.at(i++);
    const OptionRule* option = findOption(command, name);
    if (option == nullptr) {
        errorText = QString("%1 does not take %2").arg(command.name, name);
        return false;
    }
    const bool repeatable = option->kind == Kind::Texts || option->kind == Kind::VersionedFiles;
    if (!repeatable && values.contains(name)) {
        errorText = QString("%1 is given twice").arg(name);
        return false;
    }
    if (option->kind == Kind::Flag) {
        values.insert(name, {});
        return true;
    }
    return takeValues(*option, line, i, values[name], errorText);
}

bool checkComplete(const CommandRule& command, const QStringList& arguments,
                   const QMap<QString, QStringList>& values, QString& errorText)
{
    const int expected = command.argument.isEmpty() ? 0 : 1;
    if (arguments.size() != expected) {
        errorText = expected == 0
                        ? QString("%1 takes no \"%2\"").arg(command.name, arguments.first())
                        : QString("%1 takes one %2").arg(command.name, command.argument);
        return false;
    }
    for (const OptionRule& option : command.options) {
        if (option.required && !values.contains(option.name)) {
            errorText = QString("%1 needs %2").arg(command.name, option.name);
            return false;
        }
    }
    return true;
}

} // namespace

bool PublishOptions::parse(const QStringList& commandLine, QString& errorText)
{
    if (commandLine.contains("--help") || commandLine.contains("-h")) {
        help = true;
        return true;
    }
    const CommandRule* rule = commandLine.isEmpty() ? nullptr : findCommand(commandLine.first());
    if (rule == nullptr) {
        errorText = commandLine.isEmpty()
                        ? QString("no command given")
                        : QString("unknown command \"%1\"").arg(commandLine.first());
        return false;
    }
    command = rule->name;
    for (int i = 1; i < commandLine.size();) {
        if (!isOption(commandLine.at(i)))
            arguments << commandLine.at(i++);
        else if (!takeOption(*rule, commandLine, i, m_values, errorText))
            return false;
    }
    return checkComplete(*rule, arguments, m_values, errorText);
}

QString PublishOptions::helpText()
{
    return QString(R"(Usage: vaderoru-publish COMMAND [options]

The vendor's tool for signed updates: signing keys, roots, packages and
releases, and the checks the updater makes on them.

  keygen NAME
      Make a signing key: NAME.key (private, readable by its owner only; keep
      it offline) and NAME.pub (public). Existing files are never overwritten.

  root --version N --expires-days D --root-key KEY... --release-pub PUB...
       [--previous-root-key KEY] -o ROOT.json
      Make root N, valid for D days. The root keys (.key) may sign the next
      root and each signs this one; the release keys (.pub) may sign releases.
      For a rotation, the previous root's key (.key) signs as well.

  package DIR -o PACKAGE.zip
      Pack every file below DIR into a reproducible zip: UTF-8 names in sorted
      order, one fixed time for all entries (SOURCE_DATE_EPOCH when set, else
      1980-01-01 00:00), Unix permissions kept. Symbolic links are refused.

  release --key KEY --package PACKAGE.zip --software-root S --version-type C
          --version V --serial N [--mandatory] --expires-days D
          [--delta OLD_VERSION=DELTA.zip...] -o RELEASE.json
      Sign version V for software root S and version type C: the package's
      file name, length and SHA-256, valid for D days. N must be higher than
      the serial of every earlier release of S and C. Each --delta signs a
      delta package the same way, for installations of OLD_VERSION; serve it
      beside the package.

  verify --root ROOT.json RELEASE.json [--package PACKAGE.zip]
      Check the release as the updater does: the root signed by its own root
      keys and not expired, the release signed by one of its release keys and
      not expired, and with --package the package's name, length and SHA-256.

  delta --package NEW.zip --version V --from OLD_VERSION=OLD.zip...
        --output-dir DIR [--level L]
      Make one delta package per earlier package, DIR/<NEW>-from-<OLD_VERSION>
      .delta.zip: for each file whose bytes changed a zstd patch against the
      earlier file (level L, 1 to 22, default 19) where it is smaller than
      the file compressed alone, else the whole file, and delta.json listing
      them with their SHA-256 before and after. Prints one JSON line per delta
      (from, name, length, sha256) on standard output and what it holds on
      standard error.

  -h, --help    this text

An option that takes several values takes them one after another or
repeated: "--root-key a.key b.key" is "--root-key a.key --root-key b.key".

Exit status: 0 done, 1 a check or a file operation failed, 2 a wrong command
line.
)");
}
