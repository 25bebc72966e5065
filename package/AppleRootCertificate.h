#pragma once

#include <QByteArray>

// The DER of Apple Root CA, the root the program trusts to have issued the
// Developer ID certificates that sign packages, from the program's own
// resources (":/trust/AppleIncRootCertificate.cer"). Empty if it cannot be read.
[[nodiscard]] QByteArray appleRootCertificate();
