#pragma once

#include <QString>

#include <cstdio>

// Writes one line, in UTF-8, and flushes it, so that standard output and standard error
// interleave in the order they were written.
void printLine(std::FILE *stream, const QString &line);
