// The host's execution engine, as the repair uses it.
#pragma once

class EE_CExecutionEngine;

// Tells the host object behind the engine that a long device operation starts (on true) or
// has ended (on false). The second argument is always true.
void EE_NotifyDeviceBusy(EE_CExecutionEngine* engine, bool on, bool always);
