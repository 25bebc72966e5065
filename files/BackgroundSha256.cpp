#include "BackgroundSha256.h"

#include "ChunkConsumer.h"

BackgroundSha256::BackgroundSha256(qsizetype maxQueuedBytes, ChunkConsumer *consumer, bool hashing)
    : maxQueuedBytes(maxQueuedBytes)
    , consumer(consumer)
    , hashes(hashing)
{
    // Started last: everything the threads use exists.
    if (hashes)
        hashingThread =
            std::thread([this] { run(this->hashing, [this](const QByteArray &chunk) { sha.addData(chunk); }); });
    if (consumer)
        consumingThread = std::thread(
            [this] { run(consuming, [this](const QByteArray &chunk) { this->consumer->consumeShared(chunk); }); });
}

BackgroundSha256::~BackgroundSha256()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        hashing.queue.clear();
        consuming.queue.clear();
    }
    changed.notify_all();
    for (std::thread *thread : {&hashingThread, &consumingThread})
        if (thread->joinable())
            thread->join();
}

bool BackgroundSha256::anyLane(const std::function<bool(const Lane &)> &test) const
{
    return (hashes && test(hashing)) || (consumer && test(consuming));
}

void BackgroundSha256::addData(const QByteArray &chunk)
{
    if (chunk.isEmpty())
        return;
    {
        std::unique_lock<std::mutex> lock(mutex);
        // Once full, waits until half is taken in: a wake-up per chunk would
        // cost more than the hashing of a small one.
        const auto full = [&](const Lane &lane) {
            return lane.queuedBytes != 0 && lane.queuedBytes + chunk.size() > maxQueuedBytes;
        };
        if (anyLane(full))
            changed.wait(lock, [&] {
                return !anyLane([&](const Lane &lane) { return lane.queuedBytes > maxQueuedBytes / 2; });
            });
        for (Lane *lane : {&hashing, &consuming}) {
            if ((lane == &hashing && !hashes) || (lane == &consuming && !consumer))
                continue;
            lane->queue.push_back(chunk);
            lane->queuedBytes += chunk.size();
        }
    }
    changed.notify_all();
}

QByteArray BackgroundSha256::result()
{
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return !anyLane([](const Lane &lane) { return lane.queuedBytes != 0; }); });
        stopping = true;
    }
    changed.notify_all();
    for (std::thread *thread : {&hashingThread, &consumingThread})
        if (thread->joinable())
            thread->join();
    return hashes ? sha.result() : QByteArray();
}

void BackgroundSha256::run(Lane &lane, const std::function<void(const QByteArray &)> &takeIn)
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [&] { return stopping || !lane.queue.empty(); });
        if (stopping)
            return;
        // Everything queued is taken at once and taken in outside the lock.
        std::deque<QByteArray> taken;
        taken.swap(lane.queue);
        lock.unlock();
        for (const QByteArray &chunk : taken) {
            takeIn(chunk);
            lock.lock();
            const bool wasFull = lane.queuedBytes > maxQueuedBytes / 2;
            lane.queuedBytes -= chunk.size();
            const bool wake = (wasFull && lane.queuedBytes <= maxQueuedBytes / 2) || lane.queuedBytes == 0;
            lock.unlock();
            if (wake)
                changed.notify_all();
        }
        lock.lock();
    }
}
