// The outside libraries, as the library reaches them: the base library QxPal,
// the communication library QxLnk and the security library VoRazUdor.
// Nothing else in src/ includes their headers directly.
#pragma once

#include <qxlnk/qxlnk.h>
#include <qxpal/qxpal.h>
#include <vorazudor/vorazudor.h>
