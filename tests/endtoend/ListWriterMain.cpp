// One writer process of the serial-number list: records its readings (ListWriterReadings) in
// the list of the folder, one after the other, as the release readings of a tester would.
// Usage: gatewayutils_list_writer FOLDER PROCESS OPERATIONS
#include <cstdlib>

#include "tests/endtoend/ListWriterReadings.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        return 2;
    }
    const auto readings = gwu::test::ListWriterReadings(std::atoi(argv[2]), std::atoi(argv[3]));
    for (const gwu::SerialNumRecord& reading : readings) {
        gwu::StoreSerialNumRecord(argv[1], reading);
    }
    return 0;
}
