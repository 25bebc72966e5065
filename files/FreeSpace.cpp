#include "FreeSpace.h"

#include <QStorageInfo>

bool hasRoomFor(const QString &directory, quint64 needed, qint64 &available)
{
    const QStorageInfo storage(directory);
    const qint64 free = storage.bytesAvailable();
    if (!storage.isValid() || free < 0 || needed <= quint64(free))
        return true;
    available = free;
    return false;
}
