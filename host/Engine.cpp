#include "host/ExecutionEngine.h"

#include "platform/Engine.h"

void EE_NotifyDeviceBusy(EE_CExecutionEngine* engine, bool on, bool always) {
    if (engine != nullptr) {
        engine->busyNotifications.emplace_back(on, always);
    }
}
