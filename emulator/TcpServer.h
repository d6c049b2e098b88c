// The former installed name of emulator/serving/TcpServer.h, kept until its users include that.
#pragma once

#include "gatewayutils/emulator/serving/TcpServer.h"
