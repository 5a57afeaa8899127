#include "batchtexts.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace batchtexts {

namespace {

QString fileName(const QString &path)
{
    return QFileInfo(path).fileName();
}

// What went wrong with a composite, in a few words; the context stays the compositor's.
BilingualText compositeProblem(ScaleAndMix::Outcome outcome)
{
    const char *text = nullptr;
    switch (outcome) {
    case ScaleAndMix::Written:
        break;
    case ScaleAndMix::SourceUnreadable:
        text = QT_TRANSLATE_NOOP("ScaleAndMix", "无法读取原图");
        break;
    case ScaleAndMix::CutoutUnreadable:
        text = QT_TRANSLATE_NOOP("ScaleAndMix", "服务的抠图无法读取或没有透明通道");
        break;
    case ScaleAndMix::FormatHasNoAlpha:
        text = QT_TRANSLATE_NOOP("ScaleAndMix", "结果文件的格式存不下透明度");
        break;
    case ScaleAndMix::WriteFailed:
        text = QT_TRANSLATE_NOOP("ScaleAndMix", "无法写入结果文件");
        break;
    case ScaleAndMix::LibraryFailed:
        text = QT_TRANSLATE_NOOP("ScaleAndMix", "图像库无法处理这张图");
        break;
    case ScaleAndMix::OtherFileFailed:
        text = QT_TRANSLATE_NOOP("ScaleAndMix", "无法写入按输出选项生成的文件");
        break;
    case ScaleAndMix::OtherFileOnPhoto:
        text = QT_TRANSLATE_NOOP("ScaleAndMix", "按输出选项生成的文件与原图同名，没有写入");
        break;
    case ScaleAndMix::MasterUnreadable:
        text = QT_TRANSLATE_NOOP("ScaleAndMix", "无法读取已有的原尺寸结果");
        break;
    }
    if (!text)
        return {};
    return BilingualText::translate("ScaleAndMix", text);
}

} // namespace

QStringList accountLines(const BatchAccount &account)
{
    const int failed = account.count(PhotoOutcome::Failed);
    QString counts = QCoreApplication::translate("Batch", "%1 %2 张：保存 %3 张，跳过 %4 张，失败 %5 张")
                         .arg(account.stopped ? QCoreApplication::translate("Batch", "本批已中止，共") : QCoreApplication::translate("Batch", "本批共"))
                         .arg(account.photos.size())
                         .arg(account.count(PhotoOutcome::Saved))
                         .arg(account.count(PhotoOutcome::Skipped))
                         .arg(failed);
    const auto more = [&](PhotoOutcome::Kind kind, const QString &part) {
        if (const int n = account.count(kind))
            counts += part.arg(n);
    };
    more(PhotoOutcome::Finished, QCoreApplication::translate("Batch", "，由服务的小图生成 %1 张"));
    more(PhotoOutcome::Derived, QCoreApplication::translate("Batch", "，由已有结果生成 %1 张"));
    more(PhotoOutcome::NoSubject, QCoreApplication::translate("Batch", "，没有找到主体 %1 张"));
    more(PhotoOutcome::Unsent, QCoreApplication::translate("Batch", "，未发送 %1 张"));
    if (const int fellShort = account.fallenShort())
        counts += QCoreApplication::translate("Batch", "，不合预设要求 %1 张").arg(fellShort);
    QStringList lines{counts};
    if (account.size == UploadSize::Preview)
        lines << QCoreApplication::translate("Batch", "按预览尺寸发送，每张计 0.25 点额度：本批共计 %1 点")
                     .arg(QString::number(account.credits, 'g', 15));
    QStringList empty;
    for (const PhotoOutcome &photo : account.photos)
        if (photo.kind == PhotoOutcome::NoSubject)
            empty << fileName(photo.source);
    if (!empty.isEmpty())
        lines << QCoreApplication::translate("Batch", "服务没有找到主体（已计费，请检查）：%1").arg(empty.join(QCoreApplication::translate("Batch", "、")));
    for (const PhotoOutcome &photo : account.photos)
        if (photo.fallsShort())
            lines << QCoreApplication::translate("Batch", "不合预设要求：%1：%2").arg(fileName(photo.source), presetcheck::shortfall(photo.checks));
    if (failed == 0)
        lines << QCoreApplication::translate("Batch", "没有失败的照片。");
    for (const PhotoOutcome &photo : account.photos)
        if (photo.kind == PhotoOutcome::Failed)
            lines << QCoreApplication::translate("Batch", "失败：%1：%2").arg(fileName(photo.source), photo.reason);
    if (account.balanceKnown)
        lines << QCoreApplication::translate("Batch", "账户余额还剩：") + QString::number(account.balanceLeft, 'g', 15);
    return lines;
}

BilingualText compositeFailure(ScaleAndMix::Outcome outcome, bool fromMaster)
{
    const BilingualText why = compositeProblem(outcome);
    if (outcome == ScaleAndMix::OtherFileOnPhoto)
        return BilingualText::translate("Batch", "%1（原尺寸结果已保存）").arg(why);
    if (fromMaster || outcome == ScaleAndMix::OtherFileFailed)
        return BilingualText::translate("Batch", "未能按输出选项生成文件（%1）").arg(why);
    return BilingualText::translate("Batch", "未能生成原尺寸图（%1），已保留服务的小图").arg(why);
}

BilingualText cannotCreate(const QString &source)
{
    return BilingualText::translate("Batch", "创建文件失败：%1").arg(source);
}

BilingualText unsafeTarget(const QString &source)
{
    return BilingualText::translate("Batch", "%1：结果的位置是一个链接或特殊文件，没有发送，也没有写入").arg(fileName(source));
}

} // namespace batchtexts
