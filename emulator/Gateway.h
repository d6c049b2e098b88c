// The former installed name of emulator/model/Gateway.h, kept until its users include that.
#pragma once

#include "gatewayutils/emulator/model/Gateway.h"
