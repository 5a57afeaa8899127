#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

// What became of one upload, as the client saw it: the cut-out, or the kind of failure and
// the line that explains it. Travels as one typed value, so that nobody reads a log text.
struct UploadOutcome
{
    enum Kind {
        CutOut,      // a PNG or JPEG body, in `cutout`
        Refused,     // the service refused this photo (an HTTP error status)
        KeyRefused,  // 401 or 403: the key
        CreditSpent, // 402: the key is fine, its credit ran out; the photo was not charged
        NotAnImage,  // a body that is no cut-out: a page, an empty body, a redirect
        TooLarge,    // over the reply cap
        Stalled,     // nothing moved for the stall limit
        Network,     // the connection failed
        Damaged,     // the photo's own data is cut short or corrupt: not sent, not charged
        Abandoned,   // given up by the client before any answer: not sent, or dropped in flight
    };

    int batch = 0;   // the client's batch number, counted from 1 by each start
    int index = 0;   // the photo's place in that batch
    QString path;
    Kind kind = Abandoned;
    QString reason;      // the log line of a failure
    QString reasonForReport; // the same in the sources' language, as the JSON report keeps it
    QString explanation; // the service's own words, when its error body gives them
    QByteArray cutout;
    // The batch was cleared or replaced while this upload was in flight: no line was written
    // for it, and its cut-out is still to be saved under its own batch's result.
    bool late = false;
};

// The end of one batch at the client: nothing more will be sent for it.
struct UploadsEnded
{
    int batch = 0;
    int unsent = 0;      // photos never answered, dropped with the batch
    int stillInFlight = 0; // uploads left to finish as late ones; each ends with its outcome
    bool keyRefused = false;  // the key refused, or its credit spent (then also creditSpent)
    bool creditSpent = false;
    bool balanceKnown = false;
    double balanceLeft = 0; // asked again once the batch is over, when the first check gave one
};

Q_DECLARE_METATYPE(UploadOutcome)
Q_DECLARE_METATYPE(UploadsEnded)
