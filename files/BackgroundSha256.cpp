#include "BackgroundSha256.h"

#include "ChunkConsumer.h"

BackgroundSha256::BackgroundSha256(qsizetype maxQueuedBytes, ChunkConsumer *consumer)
    : maxQueuedBytes(maxQueuedBytes)
    , consumer(consumer)
    , thread(&BackgroundSha256::run, this) // last member: everything it uses exists
{
}

BackgroundSha256::~BackgroundSha256()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        queue.clear();
    }
    changed.notify_all();
    if (thread.joinable())
        thread.join();
}

void BackgroundSha256::addData(const QByteArray &chunk)
{
    if (chunk.isEmpty())
        return;
    {
        std::unique_lock<std::mutex> lock(mutex);
        // Once full, waits until half is hashed: a wake-up per chunk would cost
        // more than the hashing of a small one.
        if (queuedBytes != 0 && queuedBytes + chunk.size() > maxQueuedBytes)
            changed.wait(lock, [&] { return queuedBytes <= maxQueuedBytes / 2; });
        queue.push_back(chunk);
        queuedBytes += chunk.size();
    }
    changed.notify_all();
}

QByteArray BackgroundSha256::result()
{
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return queuedBytes == 0; });
        stopping = true;
    }
    changed.notify_all();
    thread.join();
    return sha.result();
}

void BackgroundSha256::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [&] { return stopping || !queue.empty(); });
        if (stopping)
            return;
        // Everything queued is taken at once and hashed outside the lock.
        std::deque<QByteArray> taken;
        taken.swap(queue);
        lock.unlock();
        for (const QByteArray &chunk : taken) {
            sha.addData(chunk);
            if (consumer)
                consumer->consume(chunk.constData(), chunk.size());
            lock.lock();
            const bool wasFull = queuedBytes > maxQueuedBytes / 2;
            queuedBytes -= chunk.size();
            const bool wake = (wasFull && queuedBytes <= maxQueuedBytes / 2) || queuedBytes == 0;
            lock.unlock();
            if (wake)
                changed.notify_all();
        }
        lock.lock();
    }
}
