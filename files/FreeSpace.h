#pragma once

#include <QString>
#include <QtGlobal>

// Whether the file system that holds `directory` has room for `needed` more
// bytes. Free space that cannot be told counts as room. When there is no room,
// `available` receives the bytes that are free.
[[nodiscard]] bool hasRoomFor(const QString &directory, quint64 needed, qint64 &available);
