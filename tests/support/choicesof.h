#pragma once

#include "outputchoices.h"

#include <QStringList>

// The output choices that options such as "--crop=5" or "--mask=" give; a test's choices are
// fixed, so one that cannot be read ends the test.
inline OutputChoices choicesOf(const QStringList &arguments)
{
    OutputChoices choices;
    for (const QString &argument : arguments) {
        const QString option = argument.section(QLatin1Char('='), 0, 0).mid(2);
        const QString error = choices.set(option, argument.section(QLatin1Char('='), 1));
        if (!error.isEmpty())
            qFatal("%s", qPrintable(error));
    }
    return choices;
}
