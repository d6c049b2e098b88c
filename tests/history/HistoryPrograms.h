// The helper program of the history tests, where this build made it (the build writes the
// definition into a source of its own, tests/CMakeLists.txt).
#pragma once

namespace gwu::test {

extern const char* const kHistoryWriterProgram;

}  // namespace gwu::test
