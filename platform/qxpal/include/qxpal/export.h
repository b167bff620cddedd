// Symbol visibility for the QxPal shared library (built with -fvisibility=hidden).
#pragma once

#define QXPAL_API __attribute__((visibility("default")))
