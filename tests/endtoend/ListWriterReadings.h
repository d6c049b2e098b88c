// The readings that one writer process of the serial-number list makes, shared by the writer
// program and the test that checks the list the writers leave.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "devices/SerialNumList.h"

namespace gwu::test {

// Process P's readings in order: new devices "PppDddddd", and every third reading a device it
// met before, again; each reading carries releases of its own, so every reading of a known
// device is a rewrite.
inline std::vector<SerialNumRecord> ListWriterReadings(int process, int operations) {
    std::vector<SerialNumRecord> readings;
    int met = 0;
    for (int i = 0; i < operations; ++i) {
        const int device = i % 3 == 2 ? (i / 3) % met : met++;
        char serial[24];
        std::snprintf(serial, sizeof serial, "P%02dD%05d", process, device);
        const std::string release = "R" + std::to_string(i);
        readings.push_back({serial, release, release + ".1", release + ".2"});
    }
    return readings;
}

}  // namespace gwu::test
