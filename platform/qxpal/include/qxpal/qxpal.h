// The QxPal base library: strings, arrays, URIs, messages and exceptions,
// settings, mutexes, tracing, logging and an XML writer.
#pragma once

#include <qxpal/array.h>
#include <qxpal/config.h>
#include <qxpal/exception.h>
#include <qxpal/io.h>
#include <qxpal/log.h>
#include <qxpal/message.h>
#include <qxpal/string.h>
#include <qxpal/thread.h>
#include <qxpal/trace.h>
#include <qxpal/uri.h>
#include <qxpal/xml.h>
