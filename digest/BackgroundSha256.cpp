#include "BackgroundSha256.h"

BackgroundSha256::BackgroundSha256(qsizetype maxQueuedBytes)
    : maxQueuedBytes(maxQueuedBytes)
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
        changed.wait(lock, [&] { return queuedBytes == 0 || queuedBytes + chunk.size() <= maxQueuedBytes; });
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
        const QByteArray chunk = queue.front();
        queue.pop_front();
        lock.unlock();
        sha.addData(chunk);
        lock.lock();
        queuedBytes -= chunk.size();
        changed.notify_all();
    }
}
