// DaDovu: the whole public interface.
#pragma once

#include <dadovu/Client.h>
#include <dadovu/Control.h>
#include <dadovu/ControlComponent.h>
#include <dadovu/ControlComponentList.h>
#include <dadovu/ControlUser.h>
#include <dadovu/Exceptions.h>
#include <dadovu/Fleet.h>
#include <dadovu/Functions.h>
#include <vorazudor/secauth.h>  // QxSecAuth::SecAuthException, thrown for security failures
