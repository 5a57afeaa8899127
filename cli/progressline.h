#pragma once

#include <QElapsedTimer>

// The progress line on a terminal's standard error: photos finished and failed of all, the
// pace and the time left, rewritten in place below the log's lines. Nothing when standard
// error is no terminal.
class ProgressLine
{
public:
    ProgressLine();

    bool onTerminal() const { return terminal; }
    // The pace is counted from here.
    void start() { clock.start(); }
    // `final`: the line stays, and what comes next goes below it.
    void show(bool final = false) const;
    // Takes the line away, so that a log line can take its place.
    void clear() const;

    int finished = 0, failed = 0, total = 0;

private:
    bool terminal = false;
    QElapsedTimer clock;
};
