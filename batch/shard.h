#pragma once

#include <QString>

// One share of a folder among several machines, with the folder and its results on shared
// storage: a photo belongs to share K of N by a stable hash of its file name, not by its
// place, so that adding photos moves none of the others; each photo is sent by one share.
struct Shard
{
    int index = 1; // K, from 1
    int count = 1; // N
    bool isWhole() const { return count == 1; }
    bool takes(const QString &fileName) const;
    // "K/N", with K from 1 to N and N from 1 to 1000; `error` says why not otherwise.
    static Shard parse(const QString &text, QString *error);
};
