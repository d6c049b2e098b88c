// The code types a gateway device carries and the verdicts of a check.
#pragma once

#include <cstdint>

// Separately updatable firmware images. The numeric values are part of the host interface.
enum CODETYPE : std::int32_t {
    LC_CODE = 0,    // loaded code: the main firmware release
    PROM_CODE = 1,  // PROM release
    BS_CODE = 2,    // bootstrap release
    CPLD_CODE = 3,  // programmable logic release
    MAC_CODE = 4,   // active-cable (MAC) firmware release
};

// A verdict, always read from the device's side.
enum DIFFTYPE : std::int32_t {
    DIFF_SAME = 0,    // same release, not examined, or no comparison possible
    DIFF_NEWER = 1,   // the device's release number is higher than the disk release
    DIFF_OLDER = 2,   // lower, different where no numbers compare, wrong CPLD or legacy software
    DIFF_FORCED = 3,  // a manufacturing release, always to be replaced
};

// How the last update worker ended, as the device operation reported it. A request with nothing
// differing updates the previous request's code type again: that worker's own result counts.
enum UPDATERESULT : std::int32_t {
    // No worker ran: no card selected, nothing differed and no earlier request named a code
    // type, or no worker could be started.
    UPDATE_NOT_RUN = 0,
    UPDATE_SUCCEEDED = 1,  // the device operation reported success
    UPDATE_FAILED = 2,     // the device operation reported failure or ended by an exception
};
