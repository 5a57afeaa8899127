#include "shard.h"

#include <QRegularExpression>

bool Shard::takes(const QString &fileName) const
{
    if (count <= 1)
        return true;
    // FNV-1a over the name's UTF-8: the same on every machine and in every run.
    quint64 hash = 14695981039346656037ull;
    for (const char byte : fileName.toUtf8()) {
        hash ^= quint8(byte);
        hash *= 1099511628211ull;
    }
    return int(hash % quint64(count)) == index - 1;
}

Shard Shard::parse(const QString &text, QString *error)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,4})/([0-9]{1,4})$"));
    const QRegularExpressionMatch match = form.match(text.trimmed());
    const int index = match.captured(1).toInt(), count = match.captured(2).toInt();
    if (!match.hasMatch() || count < 1 || count > 1000 || index < 1 || index > count) {
        *error = QStringLiteral("quorrin: --shard gives \"%1\"; it must be K/N, with N from 1 to 1000 and K from 1 to N")
                     .arg(text);
        return {};
    }
    return {index, count};
}
