// The former installed name of emulator/trace/Trace.h, kept until its users include that.
#pragma once

#include "gatewayutils/emulator/trace/Trace.h"
