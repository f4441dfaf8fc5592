#include "SquadnetOptions.h"

#include <QFile>

#include <cstdio>

#include "CorvanetSettings.h"

namespace
{

// Takes every "--NAME VALUE" and "--NAME=VALUE" out of arguments, wherever
// they stand, and hands each value to accept in turn, which returns what is
// wrong with it (empty when nothing is). False (with error set) when a value
// is missing or wrong.
bool takeOption(QStringList& arguments, const QString& name, const QString& missing,
                const std::function<QString(const QString&)>& accept, QString& error)
{
    const QString option = QStringLiteral("--") + name;
    const QString withValue = option + QLatin1Char('=');
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString value;
        if (arguments.at(i) == option) {
            if (i + 1 >= arguments.size()) {
                error = missing;
                return false;
            }
            value = arguments.at(i + 1);
            arguments.remove(i, 2);
        } else if (arguments.at(i).startsWith(withValue)) {
            value = arguments.at(i).mid(withValue.size());
            arguments.remove(i, 1);
        } else {
            continue;
        }
        error = accept(value);
        if (!error.isEmpty())
            return false;
        --i;
    }
    return true;
}

// The first line of the file (or of standard input for "-"), without its
// line end, so that a password never shows in a process list. Returns false
// when the file cannot be read.
bool readPasswordFile(const QString& fileName, QString& password)
{
    QFile file;
    const bool opened = fileName == QLatin1String("-")
                            ? file.open(stdin, QIODevice::ReadOnly)
                            : (file.setFileName(fileName), file.open(QIODevice::ReadOnly));
    if (!opened)
        return false;
    QByteArray line = file.readLine();
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    password = QString::fromUtf8(line);
    return true;
}

} // namespace

void SquadnetOptions::addAccount(const AccountDefaults& defaults)
{
    m_hasAccount = true;
    m_defaults = defaults;
    m_hostOption.setDefaultValue(defaults.host);
    m_portOption.setDefaultValue(QString::number(defaults.port));
    m_userOption.setDefaultValue(defaults.user);
}

void SquadnetOptions::addOption(const QCommandLineOption& option)
{
    m_own.append(option);
}

void SquadnetOptions::setPositional(qsizetype min, qsizetype max, QString tooFew, QString tooMany)
{
    m_minPositional = min;
    m_maxPositional = max;
    m_tooFew = std::move(tooFew);
    m_tooMany = tooMany.isNull() ? m_tooFew : std::move(tooMany);
}

int SquadnetOptions::fail(const QString& text, int code) const
{
    std::fprintf(stderr, "squadnet %s: %s\n", qPrintable(m_command), qPrintable(text));
    return code;
}

int SquadnetOptions::usageError(const QString& text) const
{
    fail(text);
    if (!usage.isEmpty())
        std::fprintf(stderr, "usage: squadnet %s\n", qPrintable(usage));
    return 2;
}

int SquadnetOptions::parse(QStringList arguments)
{
    // --timeout and --tls are taken out first, wherever they stand.
    QString error;
    if (!takeOption(
            arguments, QStringLiteral("timeout"),
            QStringLiteral("--timeout needs a number of seconds"),
            [this](const QString& value) {
                bool ok = false;
                m_timeoutSeconds = value.toInt(&ok);
                if (ok && m_timeoutSeconds >= 1 && m_timeoutSeconds <= 86400)
                    return QString();
                return QStringLiteral("invalid --timeout '%1'").arg(value);
            },
            error))
        return fail(error, 2);
    if (m_hasAccount) {
        TFtpClient::parseTlsMode(QString::fromUtf8(CorvanetSettings::ftpTls), m_tls);
        if (!takeOption(
                arguments, QStringLiteral("tls"),
                QStringLiteral("--tls needs off, optional or required"),
                [this](const QString& value) {
                    if (TFtpClient::parseTlsMode(value, m_tls))
                        return QString();
                    return QStringLiteral("--tls must be off, optional or required, not '%1'")
                        .arg(value);
                },
                error))
            return fail(error, 2);
        m_parser.addOptions({m_hostOption, m_portOption, m_userOption, m_passwordOption});
    }
    m_parser.addOptions(m_own);
    if (!m_parser.parse(QStringList{QStringLiteral("squadnet ") + m_command} + arguments))
        return usageError(parseError ? parseError(m_parser) : m_parser.errorText());
    m_positional = m_parser.positionalArguments();
    if (m_positional.size() < m_minPositional)
        return usageError(m_tooFew);
    if (m_positional.size() > m_maxPositional)
        return usageError(m_tooMany);
    if (!m_hasAccount)
        return checkOwn ? checkOwn() : 0;

    if (m_defaults.required && (!m_parser.isSet(m_hostOption) || !m_parser.isSet(m_userOption) ||
                                !m_parser.isSet(m_passwordOption)))
        return usageError(QStringLiteral("--host, --user and --password-file are required"));
    bool ok = false;
    m_port = m_parser.value(m_portOption).toInt(&ok);
    if (!ok || m_port < 1 || m_port > 65535)
        return usageError(QStringLiteral("invalid port '%1'").arg(m_parser.value(m_portOption)));
    if (checkOwn) {
        if (const int code = checkOwn())
            return code;
    }
    m_host = m_parser.value(m_hostOption);
    m_user = m_parser.value(m_userOption);
    m_password = m_defaults.password;
    if (m_parser.isSet(m_passwordOption) &&
        !readPasswordFile(m_parser.value(m_passwordOption), m_password))
        return fail(QStringLiteral("cannot read the password file '%1'")
                        .arg(m_parser.value(m_passwordOption)));
    return 0;
}
