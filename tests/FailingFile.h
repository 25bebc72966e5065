#pragma once

#include <QByteArray>

// Fault injection, Linux only: a test executable that links FailingFile.cpp
// has its own close(2) and ftruncate(2), which every caller in the process
// reaches.
namespace FailingFile {

// From now on, a descriptor open on a file named fileName (not a path; empty:
// none) is closed and then reported as failing with EIO, as on a file system
// that lost the last writes, and cannot be emptied (EIO, nothing cut). Call it
// before such descriptors are opened.
void failFor(const QByteArray &fileName);

} // namespace FailingFile
