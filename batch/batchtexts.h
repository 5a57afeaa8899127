#pragma once

#include "batch.h"
#include "bilingualtext.h"
#include "scaleandmix.h"

#include <QString>
#include <QStringList>

// The texts the engine writes for people about a batch's outcomes: its account, and the
// lines of a photo that failed in its own way.
namespace batchtexts {

// The account's lines: the counts, the photos without a subject, each failure, the balance.
QStringList accountLines(const BatchAccount &account);
// Why a composite failed: made from a master already there (`fromMaster`) or from the
// service's cut-out, which is then kept.
BilingualText compositeFailure(ScaleAndMix::Outcome outcome, bool fromMaster);
// A result that cannot be created where it is asked for.
BilingualText cannotCreate(const QString &source);
// A result's place that holds a link or a special file.
BilingualText unsafeTarget(const QString &source);

} // namespace batchtexts
