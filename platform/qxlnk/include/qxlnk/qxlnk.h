// The QxLnk communication library: messenger, RPC client and call, SOAP
// arguments and elements, server location, and its exceptions.
#pragma once

#include <qxlnk/cb.h>
#include <qxlnk/core.h>
#include <qxlnk/exceptions.h>
#include <qxlnk/messenger.h>
#include <qxlnk/resolver.h>
#include <qxlnk/rpc.h>
#include <qxlnk/soap.h>
