// The VoRazUdor security library (the part DaDovu uses).
#pragma once

#include <vorazudor/secauth.h>
