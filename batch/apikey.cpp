#include "apikey.h"

#include <QFile>
#include <QProcessEnvironment>

#include <cstdio>

QString readApiKey(const QString &keyFile, QString *error, const std::function<QString()> &keyring)
{
    const QString fromEnvironment = QProcessEnvironment::systemEnvironment().value(QStringLiteral("QUORRIN_API_KEY"));
    if (keyFile.isEmpty() && !fromEnvironment.isEmpty())
        return fromEnvironment;
    if (keyFile.isEmpty()) {
        const QString kept = keyring ? keyring() : QString();
        if (kept.isEmpty())
            *error = QStringLiteral("quorrin: no API key: set QUORRIN_API_KEY, give --key-file FILE "
                                    "(--key-file - reads it from standard input), or keep it in the system keyring "
                                    "from the window; it is never taken as an option's value");
        return kept;
    }
    QFile file;
    const bool opened = keyFile == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                      : (file.setFileName(keyFile), file.open(QIODevice::ReadOnly));
    const QString key = opened ? QString::fromUtf8(file.readLine(64 * 1024)).trimmed() : QString();
    if (key.isEmpty())
        *error = opened ? QStringLiteral("quorrin: %1 holds no API key").arg(keyFile)
                        : QStringLiteral("quorrin: cannot read the API key from %1: %2").arg(keyFile, file.errorString());
    return key;
}
