#pragma once

#include <QString>

#include <functional>

// Reads the key: the first line of `keyFile` ("-": standard input), else QUORRIN_API_KEY,
// else the one `keyring` gives (the system keyring, where the program has one).
// Empty when there is none; `error` then says why, for standard error.
QString readApiKey(const QString &keyFile, QString *error, const std::function<QString()> &keyring = {});
