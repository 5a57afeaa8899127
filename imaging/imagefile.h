#pragma once

#include <QByteArray>
#include <QString>

#include <opencv2/core.hpp>

// Image files from outside read as every one is: the format from the first bytes, the size
// from the header, before anything is decoded.
namespace imagefile {

// The file's bytes, or empty when its first bytes name no accepted format or its header
// claims too many pixels. A refused file is never read beyond its head; the full check
// comes again, on all the bytes, when it is decoded.
QByteArray read(const QString &path);
// Decoded only when acceptable and as large as its header says; empty otherwise.
cv::Mat decode(const QByteArray &bytes, int flags);
// A cut-out's alpha plane at 8 bits; empty when it is not four channels of 8 or 16 bits.
cv::Mat decodeAlpha(const QByteArray &cutoutBytes);

} // namespace imagefile
