#include "BackgroundSha256.h"

#include "ChunkConsumer.h"
#include "Chunkings.h"

#include <QCryptographicHash>

constexpr int MiB = 1024 * 1024;

// Keeps what it is handed, as a check fed the written bytes would see them.
struct Collector : ChunkConsumer
{
    void consume(const char *data, qsizetype size) override { seen.append(data, int(size)); }
    QByteArray seen;
};

// Random chunkings (Chunkings.h).
class tst_BackgroundSha256 : public QObject
{
    Q_OBJECT

private slots:
    void digest_data()
    {
        QTest::addColumn<qsizetype>("bound");  // maxQueuedBytes; -1: the default
        QTest::addColumn<int>("size");         // bytes hashed in all
        QTest::addColumn<int>("largestChunk"); // chunks are 0 to this many bytes

        QTest::newRow("empty-chunks-only") << qsizetype(-1) << 0 << 0;
        QTest::newRow("default-bound-filled-often") << qsizetype(-1) << 24 * MiB << MiB;
        QTest::newRow("chunks-larger-than-bound") << qsizetype(1024) << 256 * 1024 << 16 * 1024;
        QTest::newRow("one-byte-bound-and-chunks") << qsizetype(1) << 4096 << 1;
        QTest::newRow("zero-bound") << qsizetype(0) << 64 * 1024 << 4096;
    }

    void digest()
    {
        QFETCH(qsizetype, bound);
        QFETCH(int, size);
        QFETCH(int, largestChunk);

        QByteArray data(size, Qt::Uninitialized);
        QRandomGenerator(size).fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
        Chunkings chunkings(data, {}, 1);
        QList<QByteArray> chunks = chunkings.randomly(largestChunk);

        Collector collector;
        BackgroundSha256 sha(bound < 0 ? BackgroundSha256::defaultMaxQueuedBytes : bound, &collector);
        // One variable reused for every chunk, as a reader does: the queue keeps its own share of each, which must be
        // let go once hashed.
        QByteArray chunk, last;
        sha.addData(chunk);
        for (QByteArray &piece : chunks) {
            chunk = std::move(piece);
            sha.addData(chunk);
            if (!chunk.isEmpty())
                last = chunk;
        }
        sha.addData(QByteArray());
        chunk.clear();
        const QByteArray digest = sha.result();
        QCOMPARE(digest.toHex(), QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
        QCOMPARE(digest.toHex(), Sha256::hash(data).toHex());
        QCOMPARE(collector.seen, data);
        QVERIFY(last.isEmpty() || last.isDetached());
    }

    // Asked for while a slow consumer still has a few small chunks queued, far from full: the digest waits for them.
    void resultWaitsForASlowConsumer()
    {
        struct Slow : Collector
        {
            void consume(const char *data, qsizetype size) override
            {
                QThread::msleep(50);
                Collector::consume(data, size);
            }
        } slow;
        BackgroundSha256 sha(BackgroundSha256::defaultMaxQueuedBytes, &slow);
        const QByteArray chunk(1024, 'c');
        for (int i = 0; i < 4; ++i)
            sha.addData(chunk);
        QCOMPARE(sha.result().toHex(), Sha256::hash(chunk.repeated(4)).toHex());
        QCOMPARE(slow.seen, chunk.repeated(4));
    }

    void destroyedWithQueue_data()
    {
        QTest::addColumn<qsizetype>("bound");
        QTest::addColumn<QVector<int>>("chunks"); // sizes added before it is destroyed

        QTest::newRow("many-queued") << (qsizetype(1) << 30) << QVector<int>(64, MiB);
        QTest::newRow("full-after-a-wait") << qsizetype(MiB) << QVector<int>{MiB / 2, MiB / 2, MiB, 16 * MiB, 1};
        QTest::newRow("one-large-alone") << qsizetype(1) << QVector<int>{64 * MiB};
        QTest::newRow("nothing-queued") << qsizetype(MiB) << QVector<int>();
    }

    // The queue is dropped, not hashed, and lets its chunks go; the helper thread ends (a hang fails the test by its
    // time-out).
    void destroyedWithQueue()
    {
        QFETCH(qsizetype, bound);
        QFETCH(QVector<int>, chunks);

        QList<QByteArray> added;
        for (const int size : chunks)
            added.append(QByteArray(size, char(added.size())));
        {
            BackgroundSha256 sha(bound);
            for (const QByteArray &chunk : qAsConst(added))
                sha.addData(chunk);
        }
        for (const QByteArray &chunk : qAsConst(added))
            QVERIFY(chunk.isDetached());
    }
};

QTEST_MAIN(tst_BackgroundSha256)
#include "tst_BackgroundSha256.moc"
