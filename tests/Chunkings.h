#pragma once

#include <QtTest>

#include <QRandomGenerator>

// The chunkings that a table of code fed in pieces runs each row through: the fixed ones the test gives, then random
// lengths, each chunking on a scale of its own from 4 bytes to 64 KiB. The seed changes with every run and is printed
// when the test fails; TARNWICK_SEED=<seed> repeats it.
class Chunkings
{
public:
    Chunkings(QByteArray input, QList<QList<QByteArray>> fixed, int count)
        : input(std::move(input))
        , fixed(std::move(fixed))
        , count(count)
        , seed(qEnvironmentVariableIsSet("TARNWICK_SEED") ? qgetenv("TARNWICK_SEED").toUInt()
                                                          : QRandomGenerator::system()->generate())
        , random(seed)
    {
    }
    ~Chunkings()
    {
        if (QTest::currentTestFailed())
            qWarning("Failed in chunking %d; rerun with TARNWICK_SEED=%u", index, seed);
    }

    // The next chunking into chunks; false after the last.
    bool next(QList<QByteArray> &chunks)
    {
        if (++index >= count)
            return false;
        chunks = index < fixed.size() ? fixed.at(index) : of(input, 1 << random.bounded(2, 17), &random);
        return true;
    }
    // Which chunking next() gave last, from 0.
    [[nodiscard]] int current() const { return index; }
    // The input in random lengths up to `length`, empty ones among them.
    [[nodiscard]] QList<QByteArray> randomly(int length) { return of(input, length, &random); }

    // input in chunks of `length` bytes; with `random`, of random lengths up to `length`, empty ones among them.
    static QList<QByteArray> of(const QByteArray &input, int length, QRandomGenerator *random = nullptr)
    {
        QList<QByteArray> chunks;
        for (int at = 0; at < input.size(); at += chunks.last().size())
            chunks.append(input.mid(at, random ? random->bounded(length + 1) : length));
        return chunks;
    }

private:
    const QByteArray input;
    const QList<QList<QByteArray>> fixed;
    const int count;
    const quint32 seed;
    QRandomGenerator random;
    int index = -1;
};
