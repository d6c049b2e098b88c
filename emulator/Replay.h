// The former installed name of emulator/serving/Replay.h, kept until its users include that.
#pragma once

#include "gatewayutils/emulator/serving/Replay.h"
