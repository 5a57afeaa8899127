#pragma once

#include <QCoreApplication>
#include <QString>

// A text as the log shows it, in the user's language, and as the program's sources write it
// (Chinese): the JSON report keeps the second, so that it reads the same in every language.
struct BilingualText
{
    QString shown;
    QString original;

    static BilingualText translate(const char *context, const char *source)
    {
        return {QCoreApplication::translate(context, source), QString::fromUtf8(source)};
    }
    BilingualText arg(const QString &value) const { return {shown.arg(value), original.arg(value)}; }
    BilingualText arg(const BilingualText &value) const { return {shown.arg(value.shown), original.arg(value.original)}; }
};
