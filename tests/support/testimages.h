#pragma once

// Under AddressSanitizer (gcc says so by a macro, clang by a feature test) the figures of
// memory held mean nothing.
#if defined(__SANITIZE_ADDRESS__)
#define QUORRIN_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORRIN_UNDER_ASAN 1
#endif
#endif

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

// Deterministic pictures with enough detail that a wrong pixel shows.
cv::Mat photoLike(int width, int height, int channels = 3, int seed = 1);
// A cut-out: the picture's colours with an elliptical subject in the alpha plane.
cv::Mat cutoutLike(int width, int height, int depth = CV_8U, int seed = 2);

QByteArray encode(const cv::Mat &image, const char *extension);
bool writeBytes(const QString &path, const QByteArray &bytes);
QByteArray readBytes(const QString &path);
void writeImage(const QString &path, const cv::Mat &image);
// Decodes through Qt's file classes, so that any path works.
cv::Mat readImage(const QString &path, int flags);

// The JPEG with an EXIF block that carries the given orientation (1 to 8).
QByteArray withExifOrientation(const QByteArray &jpeg, int orientation);

// A HEIF file made by heif-enc (libheif-examples) from a PNG, which keeps its ICC profile;
// `arguments` go to heif-enc first (-A for AVIF). Empty when heif-enc is not installed or fails.
QByteArray heifFromPng(const QByteArray &png, const QStringList &arguments = {});
QByteArray heifEncoded(const cv::Mat &image, const QStringList &arguments = {});
// heif-enc's file with a transformation in place of its `pixi` property, which libheif does
// without: "irot" turns it by `value` quarter turns anticlockwise, "imir" mirrors it (value 0:
// top to bottom, 1: left to right). Empty when there is no `pixi` to replace.
QByteArray withHeifTransform(const QByteArray &heif, const char *box, char value);
// heif-convert's decoding of a HEIF file, read back from its PNG; empty when it cannot.
cv::Mat heifConverted(const QByteArray &heif);

// Hostile inputs, each a few bytes made here.
// 128 zero bytes, "DICM" and one byte: once enough to abort OpenCV's DICOM reader.
QByteArray dicomLike();
// A PNG signature and header claiming this size, and a few bytes of pixels.
QByteArray pngClaiming(int width, int height);
// A real JPEG whose frame header claims this size, cut off after its first scan bytes.
QByteArray truncatedJpegClaiming(int width, int height);

// A process's peak resident memory so far: this one's, or the one with that pid.
long peakResidentKilobytes(const QString &process = QStringLiteral("self"));
// Starts this process's peak afresh, so that a row is not charged with an earlier row's peak.
bool resetPeakResident();

// Under ctest, which sets QUORRIN_STOP_AT_FIRST_FAILURE, ends the test program once a row has
// failed: a fault that fails every row then shows in seconds, not after every row's wait.
// Call it from each test class's cleanup().
void stopAfterAFailedRow();
