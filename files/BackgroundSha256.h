#pragma once

#include "Sha256.h"

class ChunkConsumer;

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// SHA-256 of a stream of chunks, computed on a helper thread of its own, so
// that hashing overlaps with the producer's reading and writing. The chunks
// are shared, not copied (QByteArray's reference count is atomic). A chunk
// that would take the queue past maxQueuedBytes waits until half of it is
// hashed, so the queue holds at most half of that plus one chunk (or one
// larger chunk alone), whatever the producer's pace. All members are called
// from one thread, the producer's. A consumer, when given, is handed the same
// chunks in order on a second helper thread, so that a check as costly as the
// hash does not halve its pace; the queue's bound holds for each thread. Once
// result() has returned the consumer has seen every chunk, and nothing more
// reaches it. Without hashing only the consumer's thread runs: a bounded queue
// in front of it.
class BackgroundSha256
{
public:
    static constexpr qsizetype defaultMaxQueuedBytes = 4 * 1024 * 1024;

    explicit BackgroundSha256(qsizetype maxQueuedBytes = defaultMaxQueuedBytes, ChunkConsumer *consumer = nullptr,
                              bool hashing = true);
    // Stops the helper thread; what is still queued is dropped.
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256 &) = delete;
    BackgroundSha256 &operator=(const BackgroundSha256 &) = delete;

    // Queues chunk behind the earlier ones. The caller must not change its
    // copy in place afterwards (assigning or dropping it is fine).
    void addData(const QByteArray &chunk);
    // Waits until every queued chunk is hashed and consumed and gives the
    // digest, as Sha256::result() does (empty without hashing). Call it once,
    // and add nothing after it.
    [[nodiscard]] QByteArray result();

private:
    // The chunks one helper thread has still to take in.
    struct Lane
    {
        std::deque<QByteArray> queue;
        qsizetype queuedBytes = 0; // in queue or being taken in
    };
    void run(Lane &lane, const std::function<void(const QByteArray &)> &takeIn);
    [[nodiscard]] bool anyLane(const std::function<bool(const Lane &)> &test) const;

    const qsizetype maxQueuedBytes;
    ChunkConsumer *const consumer;
    const bool hashes;
    std::mutex mutex;
    std::condition_variable changed;
    Lane hashing;   // unused without hashing
    Lane consuming; // unused without a consumer
    bool stopping = false;
    Sha256 sha; // touched only by the hashing thread until it has ended
    std::thread hashingThread;
    std::thread consumingThread;
};
