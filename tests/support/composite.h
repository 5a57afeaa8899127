#pragma once

#include "outputnames.h"
#include "scaleandmix.h"

#include <QtTest>

#include <opencv2/core.hpp>

// Choices from options as the command line writes them; a refusal fails the test at once.
inline OutputChoices choicesOf(const QStringList &arguments)
{
    QString error;
    const OutputChoices choices = OutputChoices::fromArguments(arguments, &error);
    if (!error.isEmpty())
        qFatal("%s", qPrintable(error));
    return choices;
}

// A composite as the engine asks for it: the files beside the master named as it names them.
inline ScaleAndMix::Report makeComposite(const QString &origin, const QString &master, const OutputChoices &choices,
                                         bool fromMaster, const QByteArray &record = {})
{
    return ScaleAndMix::make({origin, master, choices, fromMaster, record, outputnames::variantPath(master, choices),
                              outputnames::maskPath(master, choices)});
}

// What a master holds by default: the photo's colours, black where the alpha is 0.
inline cv::Mat hiddenCleared(const cv::Mat &photo, const cv::Mat &alpha)
{
    cv::Mat colour = photo.clone();
    colour.setTo(cv::Scalar::all(0), alpha == 0);
    return colour;
}
