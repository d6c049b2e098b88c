// What every benchmark shares: input sizes (GWU_BENCH_TINY=1 shrinks every input so that a CI
// run finishes in seconds), medians of repeated runs, the ratio to a floor measured in the same
// run, and the peak memory a job adds.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <functional>
#include <string>

namespace gwu::bench {

// Whether GWU_BENCH_TINY asks for tiny inputs.
bool Tiny();
std::size_t Scaled(std::size_t full, std::size_t tiny);

// Reports the benchmark as failed (Google Benchmark's error) and makes the program's exit status
// 1, so that a benchmark that no longer does its job fails CI's tiny run.
void Fail(benchmark::State& state, const std::string& why);
bool AnyFailed();

// The median time of a job in seconds, over a few runs (more when it is quick).
double MedianSeconds(const std::function<void()>& job);

// Runs the benchmark loop over the job, timing every iteration, and reports the ratio of the
// median iteration to the floor's median ("ratio", with "floor_us" and "median_us").
void RunAgainstFloor(benchmark::State& state, const std::function<void()>& job,
                     const std::function<void()>& floor);
// The same for jobs that each need a fresh start (emptied database tables, say): every iteration
// runs the setup, the floor, the setup again and the job, only the floor and the job timed, so
// that both see the machine in the same state.
void RunAgainstFloor(benchmark::State& state, const std::function<void()>& job,
                     const std::function<void()>& floor, const std::function<void()>& setup);

// The peak memory a job adds, in bytes: run in a child process, from its high-water mark
// (reset at the start, so only the job's own peak counts); -1 when it cannot be measured.
long PeakAddedBytes(const std::function<void()>& job);

// A serial-number list of that many devices, "HX0000000,R4.2.1,R2.0.3,R1.4.0" and so on.
std::string SerialList(std::size_t devices);

}  // namespace gwu::bench
