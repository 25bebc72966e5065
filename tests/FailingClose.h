#pragma once

#include <QByteArray>

// Fault injection for the test executables that link FailingClose.cpp (Linux
// only): they get their own close(2), which every close of the process
// reaches, the static libraries' and Qt's alike. It closes the descriptor as
// the C library does and then reports EIO for one open on a file of the name
// given, as a file system that lost the last writes would; any other
// descriptor is closed as usual.
namespace FailingClose {

// Makes every later close of a descriptor on a file named fileName (not a
// path) fail; empty: none. Call it before the descriptors are opened.
void failFor(const QByteArray &fileName);

} // namespace FailingClose
