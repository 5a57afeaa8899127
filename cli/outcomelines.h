#pragma once

#include "batch.h"

#include <QString>

// The line a watched photo gets when it ends.
QString outcomeLine(const PhotoOutcome &photo);
