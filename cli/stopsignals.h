#pragma once

#include <functional>

class QObject;

// Turns SIGINT and SIGTERM into calls of `onSignal` on the main thread.
void catchStopSignals(QObject *context, std::function<void()> onSignal);
