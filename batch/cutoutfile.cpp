#include "cutoutfile.h"

#include "batchtexts.h"
#include "imageformat.h"
#include "outputplan.h"
#include "pngwriter.h"
#include "provenance.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace cutoutfile {

namespace {

// The cut-out with the record of its photo right after its header, as a master has it; any
// other file as it came.
QByteArray withRecord(const QByteArray &cutout, const QByteArray &record)
{
    constexpr int afterHeader = 8 + 25; // signature, IHDR
    if (record.isEmpty() || cutout.size() < afterHeader || !cutout.startsWith("\x89PNG\r\n\x1a\n")
        || cutout.mid(8, 8) != QByteArray("\0\0\0\x0dIHDR", 8))
        return cutout;
    const QByteArray text = QByteArray(provenance::keyword, int(sizeof provenance::keyword)) + record;
    const std::vector<unsigned char> chunk =
        pngwriter::chunk("tEXt", reinterpret_cast<const unsigned char *>(text.constData()), std::size_t(text.size()));
    return cutout.left(afterHeader) + QByteArray(reinterpret_cast<const char *>(chunk.data()), int(chunk.size()))
           + cutout.mid(afterHeader);
}

} // namespace

BilingualText save(const QByteArray &cutout, const QString &result, const QString &source, const QByteArray &record)
{
    const QDir folder = QFileInfo(result).dir();
    if (!result.isEmpty() && !folder.exists() && !folder.mkdir(folder.absolutePath()))
        return BilingualText::translate("Batch", "创建路径失败：%1").arg(folder.absolutePath());
    // The user's own photo is never a place to save to, however its path is spelled.
    if (result.isEmpty() || QFileInfo(result).isDir() || outputplan::isThePhoto(result, source))
        return batchtexts::cannotCreate(source);
    if (outputplan::isUnsafeTarget(result))
        return batchtexts::unsafeTarget(source);
    QSaveFile file(result);
    if (!file.open(QIODevice::WriteOnly))
        return batchtexts::cannotCreate(source);
    const QByteArray bytes = withRecord(cutout, record);
    if (file.write(bytes) != bytes.size() || !file.commit())
        return BilingualText::translate("Batch", "保存失败：%1").arg(source);
    return {};
}

bool showsNothing(const QByteArray &cutout)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(cutout.constData());
    const imageformat::Header header = imageformat::probe(bytes, std::size_t(cutout.size()));
    if (!imageformat::pngHasAlpha(bytes, std::size_t(cutout.size())) || qint64(header.width) * header.height > 16'000'000)
        return false;
    const cv::Mat image = imageformat::decode(bytes, std::size_t(cutout.size()), cv::IMREAD_UNCHANGED);
    if (image.empty() || image.channels() != 4)
        return false;
    cv::Mat alpha;
    cv::extractChannel(image, alpha, 3);
    return cv::countNonZero(alpha) == 0;
}

} // namespace cutoutfile
