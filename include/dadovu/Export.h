// Symbol visibility for libdadovu (built with -fvisibility=hidden): only what
// carries DADOVU_API is exported.
#pragma once

#define DADOVU_API __attribute__((visibility("default")))
