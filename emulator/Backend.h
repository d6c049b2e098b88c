// The former installed name of emulator/serving/Backend.h, kept until its users include that.
#pragma once

#include "gatewayutils/emulator/serving/Backend.h"
