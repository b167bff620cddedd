// Symbol visibility for the QxLnk shared library (built with -fvisibility=hidden).
#pragma once

#define QXLNK_API __attribute__((visibility("default")))
