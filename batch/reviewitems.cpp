#include "reviewitems.h"

#include "outputnames.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <opencv2/core.hpp>

namespace reviewitems {

QVector<Item> list(const QString &input, const QString &output, const OutputChoices &choices)
{
    const QFileInfo inputInfo(input);
    const bool singleFile = inputInfo.isFile();
    const QString folder = output.isEmpty() ? outputnames::proposedOutput(input, singleFile) : output;
    QStringList sources;
    if (singleFile)
        sources << inputInfo.filePath();
    else if (inputInfo.isDir())
        sources = outputnames::photosIn(inputInfo.filePath()).photos;
    QVector<Item> items;
    items.reserve(sources.size());
    for (const QString &source : sources) {
        Item item;
        item.source = source;
        item.master = QFileInfo(outputnames::resultPath(source, folder, singleFile)).absoluteFilePath();
        item.variant = outputnames::variantPath(item.master, choices);
        item.mask = outputnames::maskPath(item.master, choices);
        items << item;
    }
    return items;
}

Mark markOf(const cv::Mat &alpha)
{
    if (alpha.empty())
        return Mark::NotAMaster;
    return markOf(std::uint64_t(cv::countNonZero(alpha > 10)), std::uint64_t(cv::countNonZero(alpha < 245)), alpha.total());
}

Mark markOf(std::uint64_t kept, std::uint64_t belowOpaque, std::uint64_t pixels)
{
    if (pixels == 0)
        return Mark::NotAMaster;
    if (kept == 0)
        return Mark::NoSubject;
    if (double(kept) / double(pixels) < 0.01)
        return Mark::MostlyClear;
    if (double(belowOpaque) / double(pixels) < 0.01)
        return Mark::MostlyOpaque;
    return Mark::Fine;
}

bool wantsALook(Mark mark)
{
    return mark != Mark::Fine;
}

QString describe(Mark mark)
{
    switch (mark) {
    case Mark::Fine:
        break;
    case Mark::NoResult:
        return QCoreApplication::translate("Review", "还没有结果");
    case Mark::NotAMaster:
        return QCoreApplication::translate("Review", "不是可用的原尺寸结果");
    case Mark::NotFullSize:
        return QCoreApplication::translate("Review", "原尺寸图没有生成");
    case Mark::NoSubject:
        return QCoreApplication::translate("Review", "没有找到主体");
    case Mark::MostlyClear:
        return QCoreApplication::translate("Review", "几乎全部透明");
    case Mark::MostlyOpaque:
        return QCoreApplication::translate("Review", "几乎没有去掉背景");
    }
    return {};
}

QString thumbnailPath(const QString &cacheFolder, const QString &master, int side)
{
    const QFileInfo info(master);
    if (!info.isFile())
        return {};
    const QString key = QStringLiteral("%1\n%2\n%3\n%4")
                            .arg(info.absoluteFilePath())
                            .arg(info.size())
                            .arg(info.lastModified().toMSecsSinceEpoch())
                            .arg(side);
    return QDir(cacheFolder).filePath(
        QString::fromLatin1(QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex()) + QStringLiteral(".png"));
}

} // namespace reviewitems
