#pragma once

#include <QPlainTextEdit>
#include <QStringList>
#include <QWidget>

// The window's log pane, a line an entry; none for an empty pane.
inline QStringList windowLog(const QWidget *window)
{
    const auto *pane = window->findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"));
    if (!pane)
        qFatal("no log pane in the window");
    const QString text = pane->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// Its last line; empty when there is none.
inline QString lastLogLine(const QWidget *window)
{
    const QStringList lines = windowLog(window);
    return lines.value(lines.size() - 1);
}
