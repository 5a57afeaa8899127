#include "masterfile.h"

#include "imagefile.h"
#include "pngreader.h"
#include "pngwriter.h"

#include <QFile>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>

namespace masterfile {

bool read(const QByteArray &bytes, cv::Mat &colour, cv::Mat &alpha, int threads)
{
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
    if (bytes.isEmpty())
        return false;
    if (pngreader::read(data, std::size_t(bytes.size()), colour, alpha, threads))
        return true;
    const cv::Mat master = imagefile::decode(bytes, cv::IMREAD_UNCHANGED);
    if (master.empty() || master.channels() != 4 || master.depth() != CV_8U)
        return false;
    cv::Mat planes[4];
    cv::split(master, planes);
    cv::merge(planes, 3, colour);
    alpha = planes[3];
    return true;
}

bool read(const QString &path, cv::Mat &colour, cv::Mat &alpha, int threads)
{
    try {
        return read(imagefile::read(path), colour, alpha, threads);
    } catch (...) {
        return false;
    }
}

std::vector<unsigned char> cleanEdgesChunk()
{
    static const char text[] = "Quorrin\0edges=clean";
    return pngwriter::chunk("tEXt", reinterpret_cast<const unsigned char *>(text), sizeof text - 1);
}

bool hasCleanEdges(const QByteArray &masterHead)
{
    const std::vector<unsigned char> marker = cleanEdgesChunk();
    constexpr int afterHeader = 8 + 25; // signature, IHDR
    return masterHead.size() >= afterHeader + int(marker.size())
           && std::equal(marker.begin(), marker.end(), masterHead.constData() + afterHeader,
                         [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); });
}

std::vector<unsigned char> editedChunk()
{
    static const char text[] = "Quorrin\0edited=by hand";
    return pngwriter::chunk("tEXt", reinterpret_cast<const unsigned char *>(text), sizeof text - 1);
}

bool isEdited(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.read(8) != QByteArray("\x89PNG\r\n\x1a\n"))
        return false;
    const std::vector<unsigned char> marker = editedChunk();
    const QByteArray wanted(reinterpret_cast<const char *>(marker.data()), int(marker.size()));
    // Chunk by chunk up to the pixels, reading only the small ones: a profile may be megabytes.
    for (int chunks = 0; chunks < 64; ++chunks) {
        const qint64 at = file.pos();
        const QByteArray head = file.read(8);
        if (head.size() < 8 || head.mid(4) == "IDAT")
            return false;
        const quint32 length = quint32(uchar(head[0])) << 24 | quint32(uchar(head[1])) << 16
                               | quint32(uchar(head[2])) << 8 | quint32(uchar(head[3]));
        if (length == quint32(marker.size()) - 12) {
            if (file.read(length + 4) == wanted.mid(8) && head == wanted.left(8))
                return true;
        }
        if (!file.seek(at + 12 + qint64(length)))
            return false;
    }
    return false;
}

} // namespace masterfile
