// The programs that the end-to-end tests run, where this build made them. The build writes their
// definitions into a source of its own (tests/CMakeLists.txt), so that no test source carries a
// path of this build and the compiler cache's objects serve a checkout in another folder.
#pragma once

namespace gwu::test {

extern const char* const kGwemuProgram;
extern const char* const kGwctlProgram;
extern const char* const kListWriterProgram;

}  // namespace gwu::test
