#include "progressline.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <cstdio>
#include <unistd.h>

ProgressLine::ProgressLine()
    : terminal(::isatty(STDERR_FILENO) == 1)
{
}

void ProgressLine::show(bool final) const
{
    if (!terminal || total == 0)
        return;
    const double minutes = clock.elapsed() / 60000.0;
    const double perMinute = minutes > 0 ? finished / minutes : 0;
    const int left = total - finished;
    QString line = QCoreApplication::translate("HeadlessBatch", "已完成 %1/%2 张，失败 %3 张，每分钟 %4 张")
                       .arg(finished).arg(total).arg(failed).arg(perMinute, 0, 'f', 1);
    if (perMinute > 0 && left > 0) {
        const int seconds = int(left / perMinute * 60);
        line += QCoreApplication::translate("HeadlessBatch", "，还需约 %1 分 %2 秒").arg(seconds / 60).arg(seconds % 60);
    }
    const QByteArray bytes = "\r\x1b[K" + line.toUtf8() + (final ? "\n" : "");
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

void ProgressLine::clear() const
{
    if (terminal && total > 0)
        std::fputs("\r\x1b[K", stderr);
}
